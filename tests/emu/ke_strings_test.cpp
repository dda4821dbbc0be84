// Counted strings, the kernel's swprintf and DbgPrint formats, RtlAssert.

#include <emu/kernel.h>
#include <emu/verifier.h>
#include <gtest/gtest.h>

#include <string>

using emu::verifier::Rule;

// The kernel's swprintf as drivers built with a 16-bit wchar_t reach it.
extern "C" int __cdecl emu_swprintf(char16_t* buffer, const char16_t* format, ...);

namespace {

std::u16string text(const UNICODE_STRING& s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / 2);
}

TEST(Swprintf, DeviceNameNumbersKeepAllTheirDigits) {
  char16_t buffer[64];
  const char16_t* prefix = u"\\Device\\Velmar1_DS_";
  EXPECT_EQ(emu_swprintf(buffer, u"%s%4.4d", prefix, 1), 23);
  EXPECT_EQ(std::u16string(buffer), u"\\Device\\Velmar1_DS_0001");
  emu_swprintf(buffer, u"%s%4.4d", prefix, 12);
  EXPECT_EQ(std::u16string(buffer), u"\\Device\\Velmar1_DS_0012");
  emu_swprintf(buffer, u"%s%4.4d", prefix, 12345);
  EXPECT_EQ(std::u16string(buffer), u"\\Device\\Velmar1_DS_12345");
}

TEST(Swprintf, MicrosoftConversions) {
  char16_t buffer[128];
  emu_swprintf(buffer, u"%S|%hs|%ws|%c|%C", "narrow", "hs", u"wide", u'W', 'n');
  EXPECT_EQ(std::u16string(buffer), u"narrow|hs|wide|W|n");
  // `l` is 32 bits on Windows: the upper half of the slot is not read.
  long long garbage_above = 0x77777777FFFFFFFFLL;
  emu_swprintf(buffer, u"%ld %lu %lx", static_cast<LONG>(-1), static_cast<ULONG>(0xFFFFFFFFu),
               static_cast<int>(garbage_above));
  EXPECT_EQ(std::u16string(buffer), u"-1 4294967295 ffffffff");
  emu_swprintf(buffer, u"%08X|%I64x|%-4d|%+d|%#x|%5.2s|%%", 0xBEEFu, 0x1122334455667788ULL, 7, 3, 255u,
               u"abc");
  EXPECT_EQ(std::u16string(buffer), u"0000BEEF|1122334455667788|7   |+3|0xff|   ab|%");
  emu_swprintf(buffer, u"%p", reinterpret_cast<void*>(0xABCDEF));
  EXPECT_EQ(std::u16string(buffer), u"0000000000ABCDEF");
  emu_swprintf(buffer, u"%s", static_cast<const char16_t*>(nullptr));
  EXPECT_EQ(std::u16string(buffer), u"(null)");
}

TEST(DbgPrint, FormatsIntoTheTraceLineByLine) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(u"COM5"));
  DbgPrint("[pPollingFunction] %s %wZ %ws %d\n", "narrow", &name, u"wide", -5);
  DbgPrint("two\nlines\n");
  DbgPrint("EX: Pageable code called at IRQL %d\n", 2);
  auto lines = emu::trace::lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "[pPollingFunction] narrow COM5 wide -5");
  EXPECT_EQ(lines[1], "two");
  EXPECT_EQ(lines[2], "lines");
  EXPECT_TRUE(emu::trace::contains("IRQL 2"));
  EXPECT_EQ(emu::trace::count("[pPollingFunction]"), 1u);
  emu::trace::clear();
  EXPECT_TRUE(emu::trace::lines().empty());
}

TEST(RtlStrings, InitCopyAppendRespectTheirBuffers) {
  UNICODE_STRING src;
  RtlInitUnicodeString(&src, reinterpret_cast<PCWSTR>(u"\\DosDevices\\"));
  EXPECT_EQ(src.Length, 24);
  EXPECT_EQ(src.MaximumLength, 26);
  WCHAR storage[10];
  UNICODE_STRING dst{0, sizeof storage, storage};
  RtlCopyUnicodeString(&dst, &src);  // 12 characters into room for 10: truncated
  EXPECT_EQ(dst.Length, 20);
  EXPECT_EQ(text(dst), u"\\DosDevice");
  WCHAR big[32];
  UNICODE_STRING link{0, sizeof big, big};
  RtlCopyUnicodeString(&link, &src);
  EXPECT_EQ(big[12], 0);  // terminated when there is room
  EXPECT_EQ(RtlAppendUnicodeToString(&link, reinterpret_cast<PCWSTR>(u"COM5")), STATUS_SUCCESS);
  EXPECT_EQ(text(link), u"\\DosDevices\\COM5");
  UNICODE_STRING tail;
  RtlInitUnicodeString(&tail, reinterpret_cast<PCWSTR>(u"0123456789ABCDEFG"));
  EXPECT_EQ(RtlAppendUnicodeStringToString(&link, &tail), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(text(link), u"\\DosDevices\\COM5");  // unchanged on failure
  RtlInitUnicodeString(&src, nullptr);
  EXPECT_EQ(src.Length, 0);
  EXPECT_EQ(src.Buffer, nullptr);
}

TEST(RtlStrings, CompareIntegersAndAnsi) {
  UNICODE_STRING a, b;
  RtlInitUnicodeString(&a, reinterpret_cast<PCWSTR>(u"com5"));
  RtlInitUnicodeString(&b, reinterpret_cast<PCWSTR>(u"COM5"));
  EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
  EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
  RtlInitUnicodeString(&b, reinterpret_cast<PCWSTR>(u"COM"));
  EXPECT_GT(RtlCompareUnicodeString(&a, &b, TRUE), 0);
  EXPECT_TRUE(RtlPrefixUnicodeString(&b, &a, TRUE));

  WCHAR digits[4];
  UNICODE_STRING n{0, sizeof digits, digits};
  EXPECT_EQ(RtlIntegerToUnicodeString(255, 16, &n), STATUS_SUCCESS);
  EXPECT_EQ(text(n), u"FF");
  EXPECT_EQ(RtlIntegerToUnicodeString(12345, 10, &n), STATUS_BUFFER_OVERFLOW);
  ULONG v = 0;
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, reinterpret_cast<PCWSTR>(u" 0x1F"));
  EXPECT_EQ(RtlUnicodeStringToInteger(&s, 0, &v), STATUS_SUCCESS);
  EXPECT_EQ(v, 31u);

  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, "Wdm");
  UNICODE_STRING wide;
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(text(wide), u"Wdm");
  RtlFreeUnicodeString(&wide);
  EXPECT_EQ(wide.Buffer, nullptr);
  EXPECT_EQ(emu::pool::outstanding_total(), 0u);
}

TEST(RtlAssert, AssertionsAreRecordedAndReported) {
  int value = 3;
  ASSERT(value == 3);
  EXPECT_TRUE(emu::asserts::records().empty());
  ASSERTMSG("port must be open", value == 4);
  auto records = emu::asserts::take();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].expression, "value == 4");
  EXPECT_EQ(records[0].message, "port must be open");
  EXPECT_NE(records[0].file.find("ke_strings_test.cpp"), std::string::npos);
  auto findings = emu::verifier::take_findings();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].rule, Rule::assertion_failed);
}

}  // namespace
