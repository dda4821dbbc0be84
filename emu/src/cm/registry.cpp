// The registry: an in-memory tree of keys under "\REGISTRY", reached through
// kernel key handles, the Rtl*Registry* routines and emu::registry.

#include "ke/ke_internal.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace emu::ke {
namespace {

constexpr NTSTATUS kStatusCannotDelete = static_cast<NTSTATUS>(0xC0000121L);

std::u16string upper(std::u16string_view s) {
  std::u16string out(s);
  for (auto& c : out) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  }
  return out;
}

struct Value {
  std::u16string name;
  emu::registry::Value value;
};

struct Key {
  std::u16string name;
  std::map<std::u16string, std::unique_ptr<Key>> subkeys;  // by upper-cased name
  std::vector<Value> values;                               // in creation order

  Value* find_value(std::u16string_view value_name) {
    std::u16string u = upper(value_name);
    for (auto& v : values) {
      if (upper(v.name) == u) return &v;
    }
    return nullptr;
  }
};

struct Registry {
  std::mutex lock;
  std::unique_ptr<Key> root;
};

Registry& reg() {
  static Registry* r = new Registry;
  return *r;
}

std::vector<std::u16string> split(std::u16string_view path) {
  std::vector<std::u16string> parts;
  std::size_t i = 0;
  while (i <= path.size()) {
    std::size_t j = path.find(u'\\', i);
    if (j == std::u16string_view::npos) j = path.size();
    if (j > i) parts.emplace_back(path.substr(i, j - i));
    i = j + 1;
  }
  return parts;
}

Key* add_child(Key* parent, const std::u16string& name) {
  auto& slot = parent->subkeys[upper(name)];
  if (!slot) {
    slot = std::make_unique<Key>();
    slot->name = name;
  }
  return slot.get();
}

void build_roots_locked() {
  reg().root = std::make_unique<Key>();
  reg().root->name = u"REGISTRY";
  for (std::u16string_view p :
       {u"MACHINE\\SYSTEM\\CurrentControlSet\\Services", u"MACHINE\\SYSTEM\\CurrentControlSet\\Control",
        u"MACHINE\\SYSTEM\\CurrentControlSet\\Enum", u"MACHINE\\HARDWARE\\DEVICEMAP",
        u"MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", u"USER\\.DEFAULT"}) {
    Key* k = reg().root.get();
    for (auto& part : split(p)) k = add_child(k, part);
  }
}

Key* root_locked() {
  if (!reg().root) build_roots_locked();
  return reg().root.get();
}

// Resolves an absolute path ("\REGISTRY\..."); `create` adds missing keys:
// all of them (create_all) or only the last one (as ZwCreateKey).
enum class Create { none, last, all };
Key* resolve_locked(std::u16string_view path, Create create, bool* created = nullptr) {
  auto parts = split(path);
  if (parts.empty() || upper(parts[0]) != u"REGISTRY") return nullptr;
  Key* k = root_locked();
  for (std::size_t i = 1; i < parts.size(); ++i) {
    auto it = k->subkeys.find(upper(parts[i]));
    if (it != k->subkeys.end()) {
      k = it->second.get();
      continue;
    }
    bool last = i + 1 == parts.size();
    if (create == Create::all || (create == Create::last && last)) {
      k = add_child(k, parts[i]);
      if (created && last) *created = true;
    } else {
      return nullptr;
    }
  }
  return k;
}

std::u16string normalise(std::u16string_view path) {
  std::u16string out;
  for (auto& part : split(path)) out += u"\\" + part;
  return out;
}

// What a key handle refers to: the key's absolute path, looked up at each
// use so that a deleted key is noticed.
struct KeyObject {
  std::u16string path;
};

std::u16string to_u16(PCWSTR s) {
  std::u16string out;
  if (s) {
    for (; *s; ++s) out += static_cast<char16_t>(*s);
  }
  return out;
}

std::u16string to_u16(PCUNICODE_STRING s) {
  if (!s || !s->Buffer) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
}

KeyObject* key_of(HANDLE h) { return static_cast<KeyObject*>(handle_object(h, "Key")); }

NTSTATUS path_from_attributes(POBJECT_ATTRIBUTES oa, std::u16string* path) {
  if (!oa || !oa->ObjectName) return STATUS_INVALID_PARAMETER;
  std::u16string name = to_u16(oa->ObjectName);
  if (oa->RootDirectory) {
    KeyObject* parent = key_of(oa->RootDirectory);
    if (!parent) return STATUS_INVALID_HANDLE;
    *path = normalise(parent->path + u"\\" + name);
    return STATUS_SUCCESS;
  }
  if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  *path = normalise(name);
  return STATUS_SUCCESS;
}

HANDLE new_key_handle(const std::u16string& path) {
  auto* object = new KeyObject{path};
  return insert_handle(object, "Key", [object] { delete object; });
}

NTSTATUS relative_path(ULONG relative_to, PCWSTR path, std::u16string* out) {
  ULONG base = relative_to & ~ULONG(RTL_REGISTRY_OPTIONAL);
  if (base & RTL_REGISTRY_HANDLE) {
    KeyObject* k = key_of(const_cast<PWSTR>(path));
    if (!k) return STATUS_INVALID_HANDLE;
    *out = k->path;
    return STATUS_SUCCESS;
  }
  std::u16string prefix;
  switch (base) {
    case RTL_REGISTRY_ABSOLUTE:
      break;
    case RTL_REGISTRY_SERVICES:
      prefix = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
      break;
    case RTL_REGISTRY_CONTROL:
      prefix = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\";
      break;
    case RTL_REGISTRY_WINDOWS_NT:
      prefix = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\";
      break;
    case RTL_REGISTRY_DEVICEMAP:
      prefix = u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\";
      break;
    case RTL_REGISTRY_USER:
      prefix = u"\\REGISTRY\\USER\\.DEFAULT\\";
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  std::u16string p = to_u16(path);
  if (base == RTL_REGISTRY_ABSOLUTE && (p.empty() || p[0] != u'\\')) return STATUS_OBJECT_PATH_SYNTAX_BAD;
  *out = normalise(prefix + p);
  return STATUS_SUCCESS;
}

void set_value_locked(Key* k, std::u16string_view name, ULONG type, std::vector<uint8_t> data) {
  if (Value* v = k->find_value(name)) {
    v->value.type = type;
    v->value.data = std::move(data);
    return;
  }
  k->values.push_back(Value{std::u16string(name), emu::registry::Value{type, std::move(data)}});
}

bool delete_value_locked(Key* k, std::u16string_view name) {
  std::u16string u = upper(name);
  auto it =
      std::find_if(k->values.begin(), k->values.end(), [&](const Value& v) { return upper(v.name) == u; });
  if (it == k->values.end()) return false;
  k->values.erase(it);
  return true;
}

bool passive(const char* routine) {
  if (current_irql() != PASSIVE_LEVEL) {
    report(emu::verifier::Rule::irql_too_high, routine, nullptr,
           "registry routines must be called at PASSIVE_LEVEL");
    return false;
  }
  return true;
}

void put32(uint8_t* base, std::size_t offset, ULONG v) { std::memcpy(base + offset, &v, sizeof v); }

}  // namespace

void reset_registry(std::string_view context) {
  std::size_t open = open_handles_of_type("Key");
  if (open)
    report(emu::verifier::Rule::handle_leak, context, nullptr,
           std::to_string(open) + " registry key handle(s) never closed");
  std::lock_guard<std::mutex> g(reg().lock);
  build_roots_locked();
}

}  // namespace emu::ke

namespace emu::registry {

using namespace emu::ke;

std::u16string Value::as_string() const {
  std::u16string out;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) break;
    out += c;
  }
  return out;
}

ULONG Value::as_dword() const {
  ULONG v = 0;
  if (data.size() >= 4) std::memcpy(&v, data.data(), 4);
  return v;
}

void create_key(std::u16string_view path) {
  std::lock_guard<std::mutex> g(reg().lock);
  resolve_locked(path, Create::all);
}

bool key_exists(std::u16string_view path) {
  std::lock_guard<std::mutex> g(reg().lock);
  return resolve_locked(path, Create::none) != nullptr;
}

bool delete_key(std::u16string_view path) {
  auto parts = split(path);
  if (parts.size() < 2) return false;
  std::lock_guard<std::mutex> g(reg().lock);
  std::u16string parent_path;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) parent_path += u"\\" + parts[i];
  Key* parent = resolve_locked(parent_path, Create::none);
  if (!parent) return false;
  return parent->subkeys.erase(upper(parts.back())) != 0;
}

void set_value(std::u16string_view path, std::u16string_view name, ULONG type, std::vector<uint8_t> data) {
  std::lock_guard<std::mutex> g(reg().lock);
  Key* k = resolve_locked(path, Create::all);
  if (k) set_value_locked(k, name, type, std::move(data));
}

void set_string(std::u16string_view path, std::u16string_view name, std::u16string_view text) {
  std::vector<uint8_t> data;
  for (char16_t c : text) {
    data.push_back(static_cast<uint8_t>(c & 0xFF));
    data.push_back(static_cast<uint8_t>(c >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  set_value(path, name, REG_SZ, std::move(data));
}

void set_dword(std::u16string_view path, std::u16string_view name, ULONG value) {
  std::vector<uint8_t> data(4);
  std::memcpy(data.data(), &value, 4);
  set_value(path, name, REG_DWORD, std::move(data));
}

std::optional<Value> get_value(std::u16string_view path, std::u16string_view name) {
  std::lock_guard<std::mutex> g(reg().lock);
  Key* k = resolve_locked(path, Create::none);
  if (!k) return std::nullopt;
  ke::Value* v = k->find_value(name);
  if (!v) return std::nullopt;
  return v->value;
}

bool delete_value(std::u16string_view path, std::u16string_view name) {
  std::lock_guard<std::mutex> g(reg().lock);
  Key* k = resolve_locked(path, Create::none);
  return k && delete_value_locked(k, name);
}

std::vector<std::u16string> value_names(std::u16string_view path) {
  std::lock_guard<std::mutex> g(reg().lock);
  std::vector<std::u16string> out;
  if (Key* k = resolve_locked(path, Create::none)) {
    for (auto& v : k->values) out.push_back(v.name);
  }
  return out;
}

std::vector<std::u16string> subkeys(std::u16string_view path) {
  std::lock_guard<std::mutex> g(reg().lock);
  std::vector<std::u16string> out;
  if (Key* k = resolve_locked(path, Create::none)) {
    for (auto& [u, child] : k->subkeys) out.push_back(child->name);
  }
  return out;
}

void clear() {
  std::lock_guard<std::mutex> g(reg().lock);
  build_roots_locked();
}

NTSTATUS open_key(std::u16string_view path, bool create, HANDLE* handle) {
  std::u16string p = normalise(path);
  {
    std::lock_guard<std::mutex> g(reg().lock);
    if (!resolve_locked(p, create ? Create::all : Create::none)) return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  *handle = new_key_handle(p);
  return STATUS_SUCCESS;
}

std::size_t open_handles() { return open_handles_of_type("Key"); }

}  // namespace emu::registry

using namespace emu::ke;

EXTERN_C NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes) {
  passive("ZwOpenKey");
  if (!KeyHandle) return STATUS_INVALID_PARAMETER;
  std::u16string path;
  NTSTATUS status = path_from_attributes(ObjectAttributes, &path);
  if (!NT_SUCCESS(status)) return status;
  {
    std::lock_guard<std::mutex> g(reg().lock);
    if (!resolve_locked(path, Create::none)) return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  *KeyHandle = new_key_handle(path);
  return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes,
                                    ULONG, PUNICODE_STRING, ULONG, PULONG Disposition) {
  passive("ZwCreateKey");
  if (!KeyHandle) return STATUS_INVALID_PARAMETER;
  std::u16string path;
  NTSTATUS status = path_from_attributes(ObjectAttributes, &path);
  if (!NT_SUCCESS(status)) return status;
  bool created = false;
  {
    std::lock_guard<std::mutex> g(reg().lock);
    if (!resolve_locked(path, Create::last, &created)) return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  if (Disposition) *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *KeyHandle = new_key_handle(path);
  return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                        PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  passive("ZwQueryValueKey");
  KeyObject* ko = key_of(KeyHandle);
  if (!ko) return STATUS_INVALID_HANDLE;
  if (!ResultLength) return STATUS_INVALID_PARAMETER;
  std::u16string name = to_u16(ValueName);
  std::u16string stored_name;
  emu::registry::Value value;
  {
    std::lock_guard<std::mutex> g(reg().lock);
    Key* k = resolve_locked(ko->path, Create::none);
    if (!k) return STATUS_KEY_DELETED;
    emu::ke::Value* v = k->find_value(name);
    if (!v) return STATUS_OBJECT_NAME_NOT_FOUND;
    stored_name = v->name;
    value = v->value;
  }
  auto* out = static_cast<uint8_t*>(KeyValueInformation);
  const ULONG name_bytes = static_cast<ULONG>(stored_name.size() * sizeof(WCHAR));
  const ULONG data_bytes = static_cast<ULONG>(value.data.size());
  ULONG minimum, required;
  switch (KeyValueInformationClass) {
    case KeyValueBasicInformation: {
      minimum = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
      required = minimum + name_bytes;
      *ResultLength = required;
      if (Length < minimum || !out) return STATUS_BUFFER_TOO_SMALL;
      put32(out, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, TitleIndex), 0);
      put32(out, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Type), value.type);
      put32(out, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, NameLength), name_bytes);
      ULONG copy = std::min(name_bytes, Length - minimum);
      std::memcpy(out + minimum, stored_name.data(), copy);
      return copy < name_bytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case KeyValueFullInformation: {
      minimum = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
      // The data follows the name at the next ULONG boundary.
      const ULONG data_offset = (minimum + name_bytes + 3) & ~ULONG(3);
      required = data_offset + data_bytes;
      *ResultLength = required;
      if (Length < minimum || !out) return STATUS_BUFFER_TOO_SMALL;
      put32(out, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, TitleIndex), 0);
      put32(out, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Type), value.type);
      put32(out, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataLength), data_bytes);
      put32(out, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, NameLength), name_bytes);
      ULONG copy = std::min(name_bytes, Length - minimum);
      std::memcpy(out + minimum, stored_name.data(), copy);
      if (Length < required) {
        put32(out, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset), 0);
        return STATUS_BUFFER_OVERFLOW;
      }
      put32(out, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset), data_offset);
      if (data_offset > minimum + name_bytes)
        std::memset(out + minimum + name_bytes, 0, data_offset - minimum - name_bytes);
      if (data_bytes) std::memcpy(out + data_offset, value.data.data(), data_bytes);
      return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation: {
      minimum = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
      required = minimum + data_bytes;
      *ResultLength = required;
      if (Length < minimum || !out) return STATUS_BUFFER_TOO_SMALL;
      put32(out, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), 0);
      put32(out, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
      put32(out, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, DataLength), data_bytes);
      ULONG copy = std::min(data_bytes, Length - minimum);
      if (copy) std::memcpy(out + minimum, value.data.data(), copy);
      return copy < data_bytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

EXTERN_C NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type,
                                      PVOID Data, ULONG DataSize) {
  passive("ZwSetValueKey");
  KeyObject* ko = key_of(KeyHandle);
  if (!ko) return STATUS_INVALID_HANDLE;
  if (!Data && DataSize) return STATUS_INVALID_PARAMETER;
  std::vector<uint8_t> bytes(static_cast<uint8_t*>(Data),
                             static_cast<uint8_t*>(Data) + (Data ? DataSize : 0));
  std::lock_guard<std::mutex> g(reg().lock);
  Key* k = resolve_locked(ko->path, Create::none);
  if (!k) return STATUS_KEY_DELETED;
  set_value_locked(k, to_u16(ValueName), Type, std::move(bytes));
  return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
  passive("ZwDeleteValueKey");
  KeyObject* ko = key_of(KeyHandle);
  if (!ko) return STATUS_INVALID_HANDLE;
  std::lock_guard<std::mutex> g(reg().lock);
  Key* k = resolve_locked(ko->path, Create::none);
  if (!k) return STATUS_KEY_DELETED;
  return delete_value_locked(k, to_u16(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

EXTERN_C NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle) {
  passive("ZwDeleteKey");
  KeyObject* ko = key_of(KeyHandle);
  if (!ko) return STATUS_INVALID_HANDLE;
  {
    std::lock_guard<std::mutex> g(reg().lock);
    Key* k = resolve_locked(ko->path, Create::none);
    if (!k) return STATUS_KEY_DELETED;
    if (!k->subkeys.empty()) return kStatusCannotDelete;
  }
  return emu::registry::delete_key(ko->path) ? STATUS_SUCCESS : STATUS_KEY_DELETED;
}

EXTERN_C NTSTATUS NTAPI ZwFlushKey(HANDLE KeyHandle) {
  return key_of(KeyHandle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

EXTERN_C NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                              ULONG ValueType, PVOID ValueData, ULONG ValueLength) {
  passive("RtlWriteRegistryValue");
  std::u16string path;
  NTSTATUS status = relative_path(RelativeTo, Path, &path);
  if (!NT_SUCCESS(status)) return status;
  if (!ValueData && ValueLength) return STATUS_INVALID_PARAMETER;
  std::vector<uint8_t> bytes(static_cast<uint8_t*>(ValueData),
                             static_cast<uint8_t*>(ValueData) + (ValueData ? ValueLength : 0));
  std::lock_guard<std::mutex> g(reg().lock);
  // Like the kernel, creates the key itself but not missing parents.
  Key* k = resolve_locked(path, Create::last);
  if (!k) return STATUS_OBJECT_NAME_NOT_FOUND;
  set_value_locked(k, to_u16(ValueName), ValueType, std::move(bytes));
  return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  passive("RtlDeleteRegistryValue");
  std::u16string path;
  NTSTATUS status = relative_path(RelativeTo, Path, &path);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard<std::mutex> g(reg().lock);
  Key* k = resolve_locked(path, Create::none);
  if (!k) return STATUS_OBJECT_NAME_NOT_FOUND;
  return delete_value_locked(k, to_u16(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

EXTERN_C NTSTATUS NTAPI RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
  passive("RtlCreateRegistryKey");
  std::u16string path;
  NTSTATUS status = relative_path(RelativeTo, Path, &path);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard<std::mutex> g(reg().lock);
  return resolve_locked(path, Create::all) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

EXTERN_C NTSTATUS NTAPI RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
  passive("RtlCheckRegistryKey");
  std::u16string path;
  NTSTATUS status = relative_path(RelativeTo, Path, &path);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard<std::mutex> g(reg().lock);
  return resolve_locked(path, Create::none) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}
