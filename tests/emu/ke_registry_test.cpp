// The registry through the kernel routines, checked against the C++ view and
// the published record layouts.

#include <emu/kernel.h>
#include <emu/verifier.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using emu::verifier::Rule;

namespace {

const char16_t kSerialComm[] = u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
const char16_t kDeviceKey[] =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234\\1\\Device Parameters";

std::vector<Rule> checks() {
  std::vector<Rule> out;
  for (auto& f : emu::verifier::take_findings()) out.push_back(f.rule);
  return out;
}

UNICODE_STRING us(const char16_t* s) {
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, reinterpret_cast<PCWSTR>(s));
  return u;
}

HANDLE open(const char16_t* path) {
  UNICODE_STRING name = us(path);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE h = nullptr;
  EXPECT_EQ(ZwOpenKey(&h, KEY_READ, &oa), STATUS_SUCCESS);
  return h;
}

TEST(Registry, DeviceMapValueWrittenAndDeletedRelativeToDeviceMap) {
  const char16_t port[] = u"COM5";
  ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, reinterpret_cast<PCWSTR>(u"SERIALCOMM"),
                                  reinterpret_cast<PCWSTR>(u"\\Device\\Velmar1_DS_0001"), REG_SZ,
                                  const_cast<char16_t*>(port), sizeof port),
            STATUS_SUCCESS);
  auto value = emu::registry::get_value(kSerialComm, u"\\Device\\Velmar1_DS_0001");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, ULONG(REG_SZ));
  EXPECT_EQ(value->as_string(), u"COM5");
  EXPECT_EQ(value->data.size(), sizeof port);
  // Names are case-insensitive, as on Windows.
  EXPECT_TRUE(emu::registry::get_value(u"\\registry\\machine\\hardware\\devicemap\\serialcomm",
                                       u"\\DEVICE\\velmar1_ds_0001"));
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, reinterpret_cast<PCWSTR>(u"SERIALCOMM"),
                                   reinterpret_cast<PCWSTR>(u"\\Device\\Velmar1_DS_0001")),
            STATUS_SUCCESS);
  EXPECT_FALSE(emu::registry::get_value(kSerialComm, u"\\Device\\Velmar1_DS_0001"));
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, reinterpret_cast<PCWSTR>(u"SERIALCOMM"),
                                   reinterpret_cast<PCWSTR>(u"\\Device\\Velmar1_DS_0001")),
            STATUS_OBJECT_NAME_NOT_FOUND);
  // The absolute form reaches the same key.
  ULONG one = 1;
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(kSerialComm),
                                  reinterpret_cast<PCWSTR>(u"X"), REG_DWORD, &one, sizeof one),
            STATUS_SUCCESS);
  EXPECT_EQ(emu::registry::get_value(kSerialComm, u"X")->as_dword(), 1u);
}

TEST(Registry, WriteNeedsTheParentKey) {
  ULONG one = 1;
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE,
                                  reinterpret_cast<PCWSTR>(u"\\REGISTRY\\MACHINE\\NoSuch\\Key"),
                                  reinterpret_cast<PCWSTR>(u"V"), REG_DWORD, &one, sizeof one),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(u"REGISTRY\\MACHINE"),
                                  reinterpret_cast<PCWSTR>(u"V"), REG_DWORD, &one, sizeof one),
            STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_FALSE(emu::registry::key_exists(u"\\REGISTRY\\MACHINE\\NoSuch"));
}

class PortNameKey : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::registry::set_string(kDeviceKey, u"PortName", u"COM5");
    key_ = open(kDeviceKey);
  }
  void TearDown() override { ZwClose(key_); }

  NTSTATUS query(const char16_t* name, KEY_VALUE_INFORMATION_CLASS cls, ULONG length) {
    buffer_.assign(length + 16, 0xEE);
    UNICODE_STRING n = us(name);
    result_ = 0xFFFFFFFF;
    return ZwQueryValueKey(key_, &n, cls, length ? buffer_.data() : nullptr, length, &result_);
  }
  ULONG field(std::size_t offset) const {
    ULONG v;
    std::memcpy(&v, buffer_.data() + offset, 4);
    return v;
  }

  HANDLE key_ = nullptr;
  std::vector<unsigned char> buffer_;
  ULONG result_ = 0;
};

TEST_F(PortNameKey, FullInformationHasThePublishedLayout) {
  // Name "PortName": 16 bytes after a 20-byte header; the data starts at the
  // next ULONG boundary, 36, and is "COM5" with its terminator: 10 bytes.
  constexpr ULONG kRequired = 36 + 10;
  EXPECT_EQ(query(u"PortName", KeyValueFullInformation, 0), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result_, kRequired);
  EXPECT_EQ(query(u"PortName", KeyValueFullInformation, 19), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result_, kRequired);
  EXPECT_EQ(query(u"PortName", KeyValueFullInformation, 24), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(result_, kRequired);
  EXPECT_EQ(field(offsetof(KEY_VALUE_FULL_INFORMATION, Type)), ULONG(REG_SZ));
  EXPECT_EQ(field(offsetof(KEY_VALUE_FULL_INFORMATION, DataLength)), 10u);
  EXPECT_EQ(field(offsetof(KEY_VALUE_FULL_INFORMATION, NameLength)), 16u);
  EXPECT_EQ(buffer_[24], 0xEE);  // nothing written past the length given

  ASSERT_EQ(query(u"PortName", KeyValueFullInformation, kRequired), STATUS_SUCCESS);
  EXPECT_EQ(result_, kRequired);
  EXPECT_EQ(field(0), 0u);             // TitleIndex
  EXPECT_EQ(field(4), ULONG(REG_SZ));  // Type
  EXPECT_EQ(field(8), 36u);            // DataOffset
  EXPECT_EQ(field(12), 10u);           // DataLength
  EXPECT_EQ(field(16), 16u);           // NameLength
  EXPECT_EQ(std::memcmp(buffer_.data() + 20, u"PortName", 16), 0);
  EXPECT_EQ(std::memcmp(buffer_.data() + 36, u"COM5", 10), 0);
  EXPECT_EQ(buffer_[kRequired], 0xEE);
}

TEST_F(PortNameKey, DataOffsetFollowsTheNameAtAUlongBoundary) {
  emu::registry::set_string(kDeviceKey, u"PortNam", u"COM5");  // 14-byte name: 34 rounds up to 36
  ASSERT_EQ(query(u"PortNam", KeyValueFullInformation, 46), STATUS_SUCCESS);
  EXPECT_EQ(field(8), 36u);
  emu::registry::set_string(kDeviceKey, u"Port", u"COM5");  // 8-byte name: 28 already aligned
  ASSERT_EQ(query(u"Port", KeyValueFullInformation, 38), STATUS_SUCCESS);
  EXPECT_EQ(field(8), 28u);
  EXPECT_EQ(result_, 38u);
}

TEST_F(PortNameKey, PartialAndBasicInformation) {
  EXPECT_EQ(query(u"PortName", KeyValuePartialInformation, 11), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result_, 22u);
  EXPECT_EQ(query(u"PortName", KeyValuePartialInformation, 12), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(result_, 22u);
  EXPECT_EQ(field(8), 10u);
  ASSERT_EQ(query(u"portname", KeyValuePartialInformation, 22), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(buffer_.data() + 12, u"COM5", 10), 0);
  ASSERT_EQ(query(u"PortName", KeyValueBasicInformation, 28), STATUS_SUCCESS);
  EXPECT_EQ(field(8), 16u);
  EXPECT_EQ(std::memcmp(buffer_.data() + 12, u"PortName", 16), 0);
  EXPECT_EQ(query(u"Missing", KeyValuePartialInformation, 64), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(Registry, CreateOpenSetAndDeleteThroughHandles) {
  UNICODE_STRING name = us(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vr_mdm");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  ULONG disposition = 0;
  ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
  HANDLE again = nullptr;
  ASSERT_EQ(ZwCreateKey(&again, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
  ZwClose(again);

  UNICODE_STRING sub = us(u"Parameters");
  OBJECT_ATTRIBUTES relative;
  InitializeObjectAttributes(&relative, &sub, OBJ_KERNEL_HANDLE, key, nullptr);
  HANDLE params = nullptr;
  EXPECT_EQ(ZwOpenKey(&params, KEY_READ, &relative), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(ZwCreateKey(&params, KEY_ALL_ACCESS, &relative, 0, nullptr, 0, nullptr), STATUS_SUCCESS);
  UNICODE_STRING value = us(u"Level");
  ULONG level = 3;
  EXPECT_EQ(ZwSetValueKey(params, &value, 0, REG_DWORD, &level, sizeof level), STATUS_SUCCESS);
  EXPECT_EQ(emu::registry::get_value(
                u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vr_mdm\\Parameters", u"Level")
                ->as_dword(),
            3u);
  EXPECT_EQ(ZwDeleteValueKey(params, &value), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteValueKey(params, &value), STATUS_OBJECT_NAME_NOT_FOUND);
  ZwClose(params);

  UNICODE_STRING deep = us(u"\\REGISTRY\\MACHINE\\SYSTEM\\Missing\\Child");
  InitializeObjectAttributes(&oa, &deep, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE none = nullptr;
  EXPECT_EQ(ZwCreateKey(&none, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, nullptr), STATUS_OBJECT_NAME_NOT_FOUND);
  ZwClose(key);
  EXPECT_EQ(emu::registry::open_handles(), 0u);
}

TEST(Registry, KeyHandleLeftOpenIsReported) {
  HANDLE key = nullptr;
  ASSERT_EQ(emu::registry::open_key(kDeviceKey, true, &key), STATUS_SUCCESS);
  EXPECT_EQ(emu::registry::open_handles(), 1u);
  emu::kernel_reset();
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::handle_leak});
  EXPECT_EQ(emu::registry::open_handles(), 0u);
  EXPECT_FALSE(emu::registry::key_exists(kDeviceKey));  // the reset emptied the tree
  EXPECT_TRUE(emu::registry::key_exists(u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP"));
}

TEST(Registry, RegistryRoutinesAtDispatchLevelAreFindings) {
  emu::run_at_irql(DISPATCH_LEVEL, [] {
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, reinterpret_cast<PCWSTR>(u"SERIALCOMM"),
                           reinterpret_cast<PCWSTR>(u"x"));
  });
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::irql_too_high});
}

}  // namespace
