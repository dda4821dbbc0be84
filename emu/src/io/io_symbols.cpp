// Names for findings: driver routines by their symbol (from the dynamic
// symbol table, else from the ELF symbol table of the image that holds them),
// counted strings as text, and the driver routine a thread is running.
#include "io/io_internal.h"

#include <emu/loader.h>

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace emu::io {

namespace {

struct Symbol {
  uintptr_t start;
  uintptr_t size;
  std::string name;
};

// The function symbols of one ELF file, sorted by address (file-relative).
struct Image {
  bool relative = true;  // ET_DYN: addresses are offsets from the load base
  std::vector<Symbol> symbols;
};

bool read_at(int fd, void* buffer, std::size_t size, off_t offset) {
  return pread(fd, buffer, size, offset) == static_cast<ssize_t>(size);
}

Image load_image(const std::string& path) {
  Image image;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return image;
  Elf64_Ehdr eh;
  if (read_at(fd, &eh, sizeof eh, 0) && memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0 &&
      eh.e_ident[EI_CLASS] == ELFCLASS64 && eh.e_shentsize == sizeof(Elf64_Shdr)) {
    image.relative = eh.e_type == ET_DYN;
    std::vector<Elf64_Shdr> sections(eh.e_shnum);
    if (read_at(fd, sections.data(), sections.size() * sizeof(Elf64_Shdr), static_cast<off_t>(eh.e_shoff))) {
      for (const Elf64_Shdr& sh : sections) {
        if (sh.sh_type != SHT_SYMTAB || sh.sh_link >= sections.size()) continue;
        const Elf64_Shdr& strtab = sections[sh.sh_link];
        std::vector<char> names(strtab.sh_size + 1, '\0');
        std::vector<Elf64_Sym> syms(sh.sh_size / sizeof(Elf64_Sym));
        if (!read_at(fd, names.data(), strtab.sh_size, static_cast<off_t>(strtab.sh_offset)) ||
            !read_at(fd, syms.data(), syms.size() * sizeof(Elf64_Sym), static_cast<off_t>(sh.sh_offset)))
          continue;
        for (const Elf64_Sym& s : syms) {
          if (ELF64_ST_TYPE(s.st_info) != STT_FUNC || s.st_value == 0 || s.st_name >= strtab.sh_size)
            continue;
          image.symbols.push_back({s.st_value, s.st_size, &names[s.st_name]});
        }
      }
    }
  }
  ::close(fd);
  std::sort(image.symbols.begin(), image.symbols.end(),
            [](const Symbol& a, const Symbol& b) { return a.start < b.start; });
  return image;
}

std::string demangle(const char* name) {
  int status = 0;
  char* text = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (status != 0 || text == nullptr) return name;
  std::string result(text);
  std::free(text);
  // "DispatchRead(_DEVICE_OBJECT*, _IRP*)" reads better as "DispatchRead";
  // the parameter list is the last balanced parenthesis group.
  if (!result.empty() && result.back() == ')') {
    int depth = 0;
    for (std::size_t i = result.size(); i-- > 0;) {
      if (result[i] == ')') ++depth;
      if (result[i] == '(' && --depth == 0) {
        if (i > 0) result.resize(i);
        break;
      }
    }
  }
  return result;
}

std::mutex& images_mutex() {
  static std::mutex m;
  return m;
}

std::map<std::string, Image>& images() {
  static std::map<std::string, Image> cache;
  return cache;
}

std::string hex(const void* address) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%p", address);
  return buffer;
}

}  // namespace

std::string symbol_name(const void* address) {
  if (address == nullptr) return "(null)";
  if (auto in_image = emu::ldr::describe_address(address)) return *in_image;
  Dl_info info{};
  if (dladdr(address, &info) == 0) return hex(address);
  if (info.dli_sname != nullptr && info.dli_saddr != nullptr) {
    std::string name = demangle(info.dli_sname);
    if (info.dli_saddr != address) {
      char offset[32];
      std::snprintf(offset, sizeof offset, "+0x%zx",
                    static_cast<std::size_t>(static_cast<const char*>(address) -
                                             static_cast<const char*>(info.dli_saddr)));
      name += offset;
    }
    return name;
  }
  std::string path = info.dli_fname != nullptr ? info.dli_fname : "";
  if (path.empty() || path.find('/') == std::string::npos) path = "/proc/self/exe";
  std::lock_guard<std::mutex> lock(images_mutex());
  auto it = images().find(path);
  if (it == images().end()) it = images().emplace(path, load_image(path)).first;
  const Image& image = it->second;
  uintptr_t target = reinterpret_cast<uintptr_t>(address);
  if (image.relative) target -= reinterpret_cast<uintptr_t>(info.dli_fbase);
  auto after = std::upper_bound(image.symbols.begin(), image.symbols.end(), target,
                                [](uintptr_t a, const Symbol& s) { return a < s.start; });
  if (after == image.symbols.begin()) return hex(address);
  const Symbol& s = *(after - 1);
  if (target >= s.start + std::max<uintptr_t>(s.size, 1)) return hex(address);
  std::string name = demangle(s.name.c_str());
  if (target != s.start) {
    char offset[32];
    std::snprintf(offset, sizeof offset, "+0x%zx", static_cast<std::size_t>(target - s.start));
    name += offset;
  }
  return name;
}

std::string narrow(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::u16string from_unicode(PCUNICODE_STRING text) {
  if (text == nullptr || text->Buffer == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(text->Buffer), text->Length / sizeof(WCHAR));
}

std::u16string upcase(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return out;
}

std::u16string link_key(std::u16string_view name) {
  static constexpr std::u16string_view prefixes[] = {u"\\DosDevices\\", u"\\GLOBAL??\\", u"\\\\.\\",
                                                     u"\\??\\"};
  std::u16string up = upcase(name);
  for (std::u16string_view p : prefixes) {
    std::u16string pu = upcase(p);
    if (up.compare(0, pu.size(), pu) == 0) return u"\\??\\" + up.substr(pu.size());
  }
  if (!up.empty() && up[0] != u'\\') return u"\\??\\" + up;
  return up;
}

UNICODE_STRING make_unicode(std::u16string& text) {
  UNICODE_STRING u;
  u.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  u.MaximumLength = u.Length;
  u.Buffer = reinterpret_cast<PWSTR>(text.data());
  return u;
}

std::string describe_irp(PIRP irp) {
  static const char* const majors[] = {"CREATE",
                                       "CREATE_NAMED_PIPE",
                                       "CLOSE",
                                       "READ",
                                       "WRITE",
                                       "QUERY_INFORMATION",
                                       "SET_INFORMATION",
                                       "QUERY_EA",
                                       "SET_EA",
                                       "FLUSH_BUFFERS",
                                       "QUERY_VOLUME_INFORMATION",
                                       "SET_VOLUME_INFORMATION",
                                       "DIRECTORY_CONTROL",
                                       "FILE_SYSTEM_CONTROL",
                                       "DEVICE_CONTROL",
                                       "INTERNAL_DEVICE_CONTROL",
                                       "SHUTDOWN",
                                       "LOCK_CONTROL",
                                       "CLEANUP",
                                       "CREATE_MAILSLOT",
                                       "QUERY_SECURITY",
                                       "SET_SECURITY",
                                       "POWER",
                                       "SYSTEM_CONTROL",
                                       "DEVICE_CHANGE",
                                       "QUERY_QUOTA",
                                       "SET_QUOTA",
                                       "PNP"};
  std::string text = "IRP " + hex(irp);
  auto rec = irp_record(irp);
  if (rec) {
    std::lock_guard<std::mutex> lock(rec->m);
    text += std::string(" [") + kind_name(rec->kind) + "]";
    if (!rec->freed && irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount) {
      UCHAR major = irp->Tail.Overlay.CurrentStackLocation->MajorFunction;
      if (major <= IRP_MJ_MAXIMUM_FUNCTION) text += std::string(" IRP_MJ_") + majors[major];
    }
  }
  return text;
}

// ---- Routine context ---------------------------------------------------------------

namespace {
struct Frame {
  const void* routine;
  PDRIVER_OBJECT driver;
};
thread_local std::vector<Frame> t_frames;
}  // namespace

RoutineScope::RoutineScope(const void* routine, PDRIVER_OBJECT driver) {
  t_frames.push_back({routine, driver});
}
RoutineScope::~RoutineScope() { t_frames.pop_back(); }

const void* current_routine() { return t_frames.empty() ? nullptr : t_frames.back().routine; }

PDRIVER_OBJECT current_driver() {
  for (auto it = t_frames.rbegin(); it != t_frames.rend(); ++it)
    if (it->driver != nullptr) return it->driver;
  return nullptr;
}

}  // namespace emu::io

namespace emu {
std::string function_name(const void* address) { return emu::io::symbol_name(address); }
}  // namespace emu
