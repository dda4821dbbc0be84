// Counted strings and the Microsoft flavour of printf shared by swprintf and
// DbgPrint: `l` is 32 bits (Windows long), I64/ll 64 bits, I/z pointer-sized;
// %ws and %ls are wide strings, %wZ a UNICODE_STRING, %Z an ANSI_STRING; in
// the wide functions %s and %c are wide and %S/%C narrow, in the narrow ones
// the other way round.

#include "ke/ke_internal.h"

#include <cstdio>
#include <cstring>

namespace emu::ke {
namespace {

std::size_t wide_length(const char16_t* s) {
  std::size_t n = 0;
  while (s[n]) ++n;
  return n;
}

class Formatter {
 public:
  Formatter(bool wide, ms_va_list args) : wide_(wide) { EMU_MS_VA_COPY(args_, args); }
  ~Formatter() { EMU_MS_VA_END(args_); }
  Formatter(const Formatter&) = delete;
  Formatter& operator=(const Formatter&) = delete;

  std::u16string run(const void* format) {
    std::size_t i = 0;
    for (;;) {
      char16_t c = at(format, i);
      if (c == 0) break;
      if (c != u'%') {
        out_ += c;
        ++i;
        continue;
      }
      ++i;
      i = conversion(format, i);
    }
    return std::move(out_);
  }

 private:
  enum class Size { dflt, hh, h, l, ll, w, ptr, big };

  char16_t at(const void* format, std::size_t i) const {
    return wide_ ? static_cast<const char16_t*>(format)[i]
                 : static_cast<char16_t>(static_cast<unsigned char>(static_cast<const char*>(format)[i]));
  }

  // A character of a wide source string, in the output's encoding.
  void put_wide(char32_t c, std::u16string& to) const {
    if (wide_) {
      to += static_cast<char16_t>(c);
      return;
    }
    std::u16string one(1, static_cast<char16_t>(c));
    for (char b : narrow(one)) to += static_cast<char16_t>(static_cast<unsigned char>(b));
  }

  void pad(std::u16string body, int width, bool left, char16_t fill = u' ') {
    int n = static_cast<int>(body.size());
    if (width > n && !left) out_.append(std::size_t(width - n), fill);
    out_ += body;
    if (width > n && left) out_.append(std::size_t(width - n), u' ');
  }

  std::size_t conversion(const void* format, std::size_t i) {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    for (;; ++i) {
      char16_t f = at(format, i);
      if (f == u'-')
        left = true;
      else if (f == u'+')
        plus = true;
      else if (f == u' ')
        space = true;
      else if (f == u'#')
        alt = true;
      else if (f == u'0')
        zero = true;
      else
        break;
    }
    int width = -1;
    if (at(format, i) == u'*') {
      width = va_arg(args_, int);
      if (width < 0) {
        left = true;
        width = -width;
      }
      ++i;
    } else {
      while (at(format, i) >= u'0' && at(format, i) <= u'9') {
        width = (width < 0 ? 0 : width) * 10 + (at(format, i) - u'0');
        ++i;
      }
    }
    int precision = -1;
    if (at(format, i) == u'.') {
      ++i;
      precision = 0;
      if (at(format, i) == u'*') {
        precision = va_arg(args_, int);
        ++i;
      } else {
        while (at(format, i) >= u'0' && at(format, i) <= u'9') {
          precision = precision * 10 + (at(format, i) - u'0');
          ++i;
        }
      }
    }
    Size size = Size::dflt;
    char16_t s0 = at(format, i);
    if (s0 == u'h') {
      size = Size::h;
      ++i;
      if (at(format, i) == u'h') {
        size = Size::hh;
        ++i;
      }
    } else if (s0 == u'l') {
      size = Size::l;
      ++i;
      if (at(format, i) == u'l') {
        size = Size::ll;
        ++i;
      }
    } else if (s0 == u'w') {
      size = Size::w;
      ++i;
    } else if (s0 == u'L') {
      size = Size::big;
      ++i;
    } else if (s0 == u'z' || s0 == u'j' || s0 == u't') {
      size = Size::ptr;
      ++i;
    } else if (s0 == u'I') {
      if (at(format, i + 1) == u'6' && at(format, i + 2) == u'4') {
        size = Size::ll;
        i += 3;
      } else if (at(format, i + 1) == u'3' && at(format, i + 2) == u'2') {
        size = Size::dflt;
        i += 3;
      } else {
        size = Size::ptr;
        ++i;
      }
    }
    char16_t conv = at(format, i);
    if (conv == 0) return i;
    ++i;
    switch (conv) {
      case u'%':
        out_ += u'%';
        break;
      case u'd':
      case u'i':
        signed_number(size, width, precision, left, plus, space, zero);
        break;
      case u'u':
      case u'x':
      case u'X':
      case u'o':
        unsigned_number(size, conv, width, precision, left, alt, zero);
        break;
      case u'p': {
        auto v = reinterpret_cast<uintptr_t>(va_arg(args_, void*));
        char buf[32];
        std::snprintf(buf, sizeof buf, "%016llX", static_cast<unsigned long long>(v));
        pad(ascii(buf), width, left);
        break;
      }
      case u'c':
      case u'C': {
        int v = va_arg(args_, int);
        bool wide_char =
            (size == Size::l || size == Size::w) || (size != Size::h && ((conv == u'c') == wide_));
        std::u16string body;
        if (wide_char) {
          put_wide(static_cast<char16_t>(v), body);
        } else {
          body += static_cast<char16_t>(static_cast<unsigned char>(v));
        }
        pad(body, width, left);
        break;
      }
      case u's':
      case u'S': {
        bool wide_string =
            (size == Size::l || size == Size::w) || (size != Size::h && ((conv == u's') == wide_));
        std::u16string body;
        if (wide_string) {
          const auto* s = va_arg(args_, const char16_t*);
          if (!s) {
            body = u"(null)";
          } else {
            std::size_t n = wide_length(s);
            if (precision >= 0 && std::size_t(precision) < n) n = std::size_t(precision);
            for (std::size_t k = 0; k < n; ++k) put_wide(s[k], body);
          }
        } else {
          const auto* s = va_arg(args_, const char*);
          if (!s) {
            body = u"(null)";
          } else {
            std::size_t n = std::strlen(s);
            if (precision >= 0 && std::size_t(precision) < n) n = std::size_t(precision);
            for (std::size_t k = 0; k < n; ++k)
              body += static_cast<char16_t>(static_cast<unsigned char>(s[k]));
          }
        }
        pad(body, width, left);
        break;
      }
      case u'Z': {
        std::u16string body;
        if (size == Size::w) {
          const auto* us = va_arg(args_, const UNICODE_STRING*);
          if (!us || !us->Buffer) {
            body = u"(null)";
          } else {
            for (std::size_t k = 0; k < us->Length / sizeof(WCHAR); ++k) put_wide(us->Buffer[k], body);
          }
        } else {
          const auto* as = va_arg(args_, const ANSI_STRING*);
          if (!as || !as->Buffer) {
            body = u"(null)";
          } else {
            for (std::size_t k = 0; k < as->Length; ++k) {
              body += static_cast<char16_t>(static_cast<unsigned char>(as->Buffer[k]));
            }
          }
        }
        pad(body, width, left);
        break;
      }
      case u'e':
      case u'E':
      case u'f':
      case u'F':
      case u'g':
      case u'G':
      case u'a':
      case u'A': {
        double v =
            size == Size::big ? static_cast<double>(va_arg(args_, long double)) : va_arg(args_, double);
        std::string printf_format = "%";
        if (left) printf_format += '-';
        if (plus) printf_format += '+';
        if (space) printf_format += ' ';
        if (alt) printf_format += '#';
        if (zero) printf_format += '0';
        if (width >= 0) printf_format += std::to_string(width);
        if (precision >= 0) printf_format += "." + std::to_string(precision);
        printf_format += static_cast<char>(conv);
        char buf[512];
        std::snprintf(buf, sizeof buf, printf_format.c_str(), v);
        out_ += ascii(buf);
        break;
      }
      case u'n':
        (void)va_arg(args_, void*);
        break;
      default:
        // Unknown conversion: copied as written.
        out_ += u'%';
        out_ += conv;
        break;
    }
    return i;
  }

  static std::u16string ascii(const char* s) {
    std::u16string out;
    while (*s) out += static_cast<char16_t>(static_cast<unsigned char>(*s++));
    return out;
  }

  uint64_t take_unsigned(Size size) {
    switch (size) {
      case Size::hh:
        return static_cast<unsigned char>(va_arg(args_, unsigned));
      case Size::h:
        return static_cast<unsigned short>(va_arg(args_, unsigned));
      case Size::ll:
      case Size::ptr:
        return va_arg(args_, unsigned long long);
      default:
        return va_arg(args_, unsigned);
    }
  }

  int64_t take_signed(Size size) {
    switch (size) {
      case Size::hh:
        return static_cast<signed char>(va_arg(args_, int));
      case Size::h:
        return static_cast<short>(va_arg(args_, int));
      case Size::ll:
      case Size::ptr:
        return va_arg(args_, long long);
      default:
        return va_arg(args_, int);
    }
  }

  static std::u16string digits(uint64_t v, unsigned base, bool upper) {
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string d;
    do {
      d.insert(d.begin(), static_cast<char16_t>(set[v % base]));
      v /= base;
    } while (v);
    return d;
  }

  void finish_number(std::u16string prefix, std::u16string body, int width, int precision, bool left,
                     bool zero) {
    if (precision >= 0) {
      if (precision == 0 && body == u"0") body.clear();
      if (int(body.size()) < precision) body.insert(0, std::size_t(precision) - body.size(), u'0');
    } else if (zero && !left && width > int(prefix.size() + body.size())) {
      body.insert(0, std::size_t(width) - prefix.size() - body.size(), u'0');
    }
    pad(prefix + body, width, left);
  }

  void signed_number(Size size, int width, int precision, bool left, bool plus, bool space, bool zero) {
    int64_t v = take_signed(size);
    uint64_t magnitude = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
    std::u16string prefix = v < 0 ? u"-" : plus ? u"+" : space ? u" " : u"";
    finish_number(prefix, digits(magnitude, 10, false), width, precision, left, zero);
  }

  void unsigned_number(Size size, char16_t conv, int width, int precision, bool left, bool alt, bool zero) {
    uint64_t v = take_unsigned(size);
    unsigned base = conv == u'o' ? 8 : (conv == u'x' || conv == u'X') ? 16 : 10;
    std::u16string prefix;
    if (alt && v != 0) {
      if (conv == u'x') prefix = u"0x";
      if (conv == u'X') prefix = u"0X";
      if (conv == u'o') prefix = u"0";
    }
    finish_number(prefix, digits(v, base, conv == u'X'), width, precision, left, zero);
  }

  bool wide_;
  ms_va_list args_;
  std::u16string out_;
};

std::size_t wcs_bytes(PCWSTR s) {
  std::size_t n = 0;
  while (s[n]) ++n;
  return n * sizeof(WCHAR);
}

void terminate_if_room(PUNICODE_STRING s) {
  if (s->Length + sizeof(WCHAR) <= s->MaximumLength) s->Buffer[s->Length / sizeof(WCHAR)] = 0;
}

WCHAR upcase(WCHAR c) {
  if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 32);
  return c;
}

constexpr ULONG kStringTag = emu::pool::tag("Strg");

}  // namespace

std::u16string format_ms(bool wide, const void* format, ms_va_list args) {
  Formatter f(wide, args);
  return f.run(format);
}

}  // namespace emu::ke

using namespace emu::ke;

EXTERN_C int __cdecl emu_swprintf(char16_t* buffer, const char16_t* format, ...) {
  ms_va_list args;
  EMU_MS_VA_START(args, format);
  std::u16string text = format_ms(true, format, args);
  EMU_MS_VA_END(args);
  std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(char16_t));
  return static_cast<int>(text.size());
}

EXTERN_C VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (!SourceString) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  std::size_t bytes = wcs_bytes(SourceString);
  if (bytes > 0xFFFC) bytes = 0xFFFC;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

EXTERN_C VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
  if (!SourceString) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  std::size_t bytes = std::strlen(SourceString);
  if (bytes > 0xFFFE) bytes = 0xFFFE;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

EXTERN_C VOID NTAPI RtlInitString(PSTRING DestinationString, PCSZ SourceString) {
  RtlInitAnsiString(DestinationString, SourceString);
}

EXTERN_C VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (!SourceString || !SourceString->Buffer) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length;
  if (bytes > DestinationString->MaximumLength) bytes = DestinationString->MaximumLength & ~USHORT(1);
  std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  terminate_if_room(DestinationString);
}

EXTERN_C VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

EXTERN_C VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
  if (AnsiString->Buffer) ExFreePool(AnsiString->Buffer);
  AnsiString->Buffer = nullptr;
  AnsiString->Length = AnsiString->MaximumLength = 0;
}

EXTERN_C NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (!Source) return STATUS_SUCCESS;
  std::size_t bytes = wcs_bytes(Source);
  if (Destination->Length + bytes > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memmove(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length, Source, bytes);
  Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
  terminate_if_room(Destination);
  return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  if (!Source || Source->Length == 0) return STATUS_SUCCESS;
  if (Destination->Length + Source->Length > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memmove(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length, Source->Buffer,
               Source->Length);
  Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
  terminate_if_room(Destination);
  return STATUS_SUCCESS;
}

EXTERN_C LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                            BOOLEAN CaseInSensitive) {
  std::size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
  for (std::size_t i = 0; i < n1 && i < n2; ++i) {
    WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = upcase(a);
      b = upcase(b);
    }
    if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
  }
  return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

EXTERN_C BOOLEAN NTAPI RtlEqualUnicodeString(const UNICODE_STRING* String1, const UNICODE_STRING* String2,
                                             BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

EXTERN_C BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                              BOOLEAN CaseInSensitive) {
  if (String1->Length > String2->Length) return FALSE;
  UNICODE_STRING head = *String2;
  head.Length = String1->Length;
  return RtlCompareUnicodeString(String1, &head, CaseInSensitive) == 0 ? TRUE : FALSE;
}

EXTERN_C NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  char16_t digits[40];
  int n = 0;
  do {
    digits[n++] = static_cast<char16_t>("0123456789ABCDEF"[Value % Base]);
    Value /= Base;
  } while (Value);
  std::size_t bytes = std::size_t(n) * sizeof(WCHAR);
  if (bytes > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (int i = 0; i < n; ++i) String->Buffer[i] = digits[n - 1 - i];
  String->Length = static_cast<USHORT>(bytes);
  terminate_if_room(String);
  return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  std::size_t n = String->Length / sizeof(WCHAR), i = 0;
  const WCHAR* s = String->Buffer;
  while (i < n && (s[i] == u' ' || s[i] == u'\t')) ++i;
  bool negative = false;
  if (i < n && (s[i] == u'-' || s[i] == u'+')) negative = s[i++] == u'-';
  if (Base == 0) {
    Base = 10;
    if (i + 1 < n && s[i] == u'0') {
      WCHAR p = upcase(s[i + 1]);
      if (p == u'X') Base = 16;
      if (p == u'O') Base = 8;
      if (p == u'B') Base = 2;
      if (Base != 10) i += 2;
    }
  } else if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG result = 0;
  for (; i < n; ++i) {
    WCHAR c = upcase(s[i]);
    ULONG d;
    if (c >= u'0' && c <= u'9')
      d = c - u'0';
    else if (c >= u'A' && c <= u'F')
      d = c - u'A' + 10;
    else
      break;
    if (d >= Base) break;
    result = result * Base + d;
  }
  *Value = negative ? static_cast<ULONG>(0u - result) : result;
  return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                                     PANSI_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString) {
  std::size_t bytes = std::size_t(SourceString->Length) * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > 0xFFFE) return STATUS_INVALID_PARAMETER_2;
  if (AllocateDestinationString) {
    DestinationString->Buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kStringTag));
    if (!DestinationString->Buffer) return STATUS_NO_MEMORY;
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  } else if (bytes > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (std::size_t i = 0; i < SourceString->Length; ++i) {
    DestinationString->Buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(SourceString->Buffer[i]));
  }
  DestinationString->Length = static_cast<USHORT>(bytes);
  terminate_if_room(DestinationString);
  return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                     PCUNICODE_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString) {
  std::size_t chars = SourceString->Length / sizeof(WCHAR);
  if (AllocateDestinationString) {
    DestinationString->Buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, chars + 1, kStringTag));
    if (!DestinationString->Buffer) return STATUS_NO_MEMORY;
    DestinationString->MaximumLength = static_cast<USHORT>(chars + 1);
  } else if (chars > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (std::size_t i = 0; i < chars; ++i) {
    WCHAR c = SourceString->Buffer[i];
    DestinationString->Buffer[i] = c < 0x100 ? static_cast<char>(c) : '?';
  }
  DestinationString->Length = static_cast<USHORT>(chars);
  if (chars < DestinationString->MaximumLength) DestinationString->Buffer[chars] = 0;
  return STATUS_SUCCESS;
}

EXTERN_C WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) { return upcase(SourceCharacter); }
