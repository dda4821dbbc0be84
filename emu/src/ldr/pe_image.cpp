// The PE32+ loader: validation, mapping, base relocations, import binding,
// section protections and the image's symbols.  Every offset and RVA read
// from the file is checked before use: a bad image is refused with its
// reason and leaves nothing mapped.

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <vector>

#include "ke/ke_internal.h"
#include "ldr_internal.h"

namespace emu::ldr {
namespace {

// ---- The file's records (published PE/COFF layouts, little-endian) ----

constexpr uint16_t kDosMagic = 0x5A4D;     // "MZ"
constexpr uint32_t kPeSignature = 0x4550;  // "PE\0\0"
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint16_t kFileExecutable = 0x0002;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint32_t kScnMemExecute = 0x20000000;
constexpr uint32_t kScnMemRead = 0x40000000;
constexpr uint32_t kScnMemWrite = 0x80000000;
constexpr uint32_t kScnUninitialized = 0x00000080;
constexpr int kDirExport = 0;
constexpr int kDirImport = 1;
constexpr int kDirBaseReloc = 5;
constexpr uint16_t kRelAbsolute = 0;
constexpr uint16_t kRelDir64 = 10;
constexpr std::size_t kMaxImageSize = 256u << 20;
constexpr std::size_t kPage = 4096;

#pragma pack(push, 1)
struct file_header {
  uint16_t machine;
  uint16_t section_count;
  uint32_t time_date_stamp;
  uint32_t symbol_table;
  uint32_t symbol_count;
  uint16_t optional_header_size;
  uint16_t characteristics;
};
struct data_directory {
  uint32_t rva;
  uint32_t size;
};
struct optional_header64 {
  uint16_t magic;
  uint8_t linker_major, linker_minor;
  uint32_t code_size, data_size, bss_size;
  uint32_t entry_point;
  uint32_t code_base;
  uint64_t image_base;
  uint32_t section_alignment, file_alignment;
  uint16_t os_major, os_minor, image_major, image_minor, subsystem_major, subsystem_minor;
  uint32_t win32_version;
  uint32_t image_size;
  uint32_t headers_size;
  uint32_t checksum;
  uint16_t subsystem, dll_characteristics;
  uint64_t stack_reserve, stack_commit, heap_reserve, heap_commit;
  uint32_t loader_flags;
  uint32_t directory_count;
  data_directory directories[16];
};
struct section_header {
  char name[8];
  uint32_t virtual_size;
  uint32_t rva;
  uint32_t raw_size;
  uint32_t raw_offset;
  uint32_t relocations, line_numbers;
  uint16_t relocation_count, line_number_count;
  uint32_t characteristics;
};
struct import_descriptor {
  uint32_t lookup_table;  // OriginalFirstThunk
  uint32_t time_date_stamp;
  uint32_t forwarder_chain;
  uint32_t name;
  uint32_t address_table;  // FirstThunk
};
struct export_directory {
  uint32_t characteristics, time_date_stamp;
  uint16_t major, minor;
  uint32_t name, ordinal_base, function_count, name_count;
  uint32_t functions, names, ordinals;
};
struct coff_symbol {
  union {
    char short_name[8];
    struct {
      uint32_t zeroes;
      uint32_t offset;
    } long_name;
  };
  uint32_t value;
  int16_t section;
  uint16_t type;
  uint8_t storage_class;
  uint8_t aux_count;
};
#pragma pack(pop)
static_assert(sizeof(file_header) == 20 && sizeof(optional_header64) == 240 && sizeof(section_header) == 40 &&
              sizeof(import_descriptor) == 20 && sizeof(coff_symbol) == 18);

constexpr uint8_t kClassExternal = 2, kClassStatic = 3;

std::string hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

// Bounds-checked reads of the file and of the mapped image.
struct Bytes {
  const uint8_t* data;
  std::size_t size;
  bool has(uint64_t offset, uint64_t length) const { return offset <= size && length <= size - offset; }
  template <class T>
  bool read(uint64_t offset, T* out) const {
    if (!has(offset, sizeof(T))) return false;
    std::memcpy(out, data + offset, sizeof(T));
    return true;
  }
  // A NUL-terminated string wholly inside.
  std::optional<std::string> string(uint64_t offset, std::size_t limit = 512) const {
    if (offset >= size) return std::nullopt;
    const auto* s = reinterpret_cast<const char*>(data + offset);
    std::size_t room = std::min<std::size_t>(size - offset, limit);
    const void* nul = std::memchr(s, 0, room);
    if (nul == nullptr) return std::nullopt;
    return std::string(s, static_cast<const char*>(nul));
  }
};

struct Failure {
  std::string reason;
};

struct Symbol {
  uintptr_t rva;
  std::string name;
};

}  // namespace

std::atomic<std::size_t> g_mappings{0};

struct Image::State {
  uint8_t* base = nullptr;
  std::size_t size = 0;
  std::string name;
  uint32_t entry_rva = 0;
  std::vector<Symbol> symbols;                        // by rva
  std::vector<std::pair<uintptr_t, uintptr_t>> code;  // registered executable ranges
  ~State() {
    for (auto [lo, hi] : code) unregister_code(lo, hi);
    if (base != nullptr) {
      munmap(base, size);
      g_mappings.fetch_sub(1);
    }
  }
};

namespace {

std::mutex& images_mutex() {
  static auto* m = new std::mutex;
  return *m;
}
std::vector<const Image*>& images() {
  static auto* v = new std::vector<const Image*>;
  return *v;
}

uint32_t protection_of(uint32_t characteristics) {
  uint32_t p = 0;
  if (characteristics & kScnMemRead) p |= PROT_READ;
  if (characteristics & kScnMemWrite) p |= PROT_READ | PROT_WRITE;
  if (characteristics & kScnMemExecute) p |= PROT_READ | PROT_EXEC;
  return p;
}

std::size_t page_up(std::size_t n) { return (n + kPage - 1) & ~(kPage - 1); }

void read_symbols(const Bytes& file, const file_header& fh, const std::vector<section_header>& sections,
                  std::vector<Symbol>& out) {
  // The COFF table is debugging aid only: a damaged one is ignored, not refused.
  const uint64_t table = fh.symbol_table;
  const uint64_t count = fh.symbol_count;
  if (table == 0 || count == 0 || !file.has(table, count * sizeof(coff_symbol))) return;
  const uint64_t strings = table + count * sizeof(coff_symbol);
  for (uint64_t i = 0; i < count; ++i) {
    coff_symbol s;
    file.read(table + i * sizeof(coff_symbol), &s);
    const uint64_t aux = s.aux_count;
    if (s.section > 0 && static_cast<std::size_t>(s.section) <= sections.size() &&
        (s.storage_class == kClassExternal || s.storage_class == kClassStatic) && (s.type & 0x30) == 0x20) {
      std::string name;
      if (s.long_name.zeroes == 0) {
        name = file.string(strings + s.long_name.offset).value_or("");
      } else {
        name.assign(s.short_name, strnlen(s.short_name, sizeof s.short_name));
      }
      if (!name.empty()) out.push_back({sections[s.section - 1].rva + uintptr_t(s.value), std::move(name)});
    }
    i += aux;
  }
}

void read_exports(const Bytes& image, const data_directory& dir, std::vector<Symbol>& out) {
  export_directory ed;
  if (dir.rva == 0 || dir.size < sizeof ed || !image.read(dir.rva, &ed)) return;
  // Names for findings only: a damaged table ends the list, it does not refuse the image.
  const uint32_t count = std::min<uint32_t>(ed.name_count, 65536);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t name_rva = 0;
    uint16_t ordinal = 0;
    uint32_t function_rva = 0;
    if (!image.read(ed.names + uint64_t(i) * 4, &name_rva) ||
        !image.read(ed.ordinals + uint64_t(i) * 2, &ordinal) || ordinal >= ed.function_count ||
        !image.read(ed.functions + uint64_t(ordinal) * 4, &function_rva))
      return;
    auto name = image.string(name_rva);
    if (name && function_rva < image.size) out.push_back({function_rva, *name});
  }
}

void apply_relocations(const Bytes& image, uint8_t* base, const data_directory& dir, int64_t delta) {
  if (!image.has(dir.rva, dir.size)) {
    throw Failure{"the base relocation directory (" + hex(dir.rva) + ", " + hex(dir.size) +
                  " bytes) lies outside the image"};
  }
  uint64_t at = dir.rva;
  const uint64_t end = uint64_t(dir.rva) + dir.size;
  while (at + 8 <= end) {
    uint32_t page = 0, block = 0;
    image.read(at, &page);
    image.read(at + 4, &block);
    if (block < 8 || block > end - at || (block & 1)) {
      throw Failure{"relocation block at " + hex(at) + " has a bad size " + hex(block)};
    }
    for (uint64_t e = at + 8; e + 2 <= at + block; e += 2) {
      uint16_t entry = 0;
      image.read(e, &entry);
      const uint16_t type = entry >> 12;
      const uint64_t target = uint64_t(page) + (entry & 0xFFF);
      if (type == kRelAbsolute) continue;
      if (type != kRelDir64)
        throw Failure{"unsupported relocation type " + std::to_string(type) + " at " + hex(target)};
      if (!image.has(target, 8)) throw Failure{"a relocation at " + hex(target) + " lies outside the image"};
      uint64_t value;
      std::memcpy(&value, base + target, 8);
      value += static_cast<uint64_t>(delta);
      std::memcpy(base + target, &value, 8);
    }
    at += block;
  }
}

void bind_imports(const Bytes& image, uint8_t* base, const data_directory& dir) {
  if (dir.rva == 0 && dir.size == 0) return;
  if (!image.has(dir.rva, sizeof(import_descriptor))) {
    throw Failure{"the import directory (" + hex(dir.rva) + ") lies outside the image"};
  }
  std::vector<std::string> missing;
  for (uint64_t at = dir.rva;; at += sizeof(import_descriptor)) {
    import_descriptor d;
    if (!image.read(at, &d)) throw Failure{"the import directory runs past the end of the image"};
    if (d.name == 0 && d.address_table == 0 && d.lookup_table == 0) break;
    auto module = image.string(d.name);
    if (!module) throw Failure{"an import's module name (" + hex(d.name) + ") lies outside the image"};
    const uint64_t lookup = d.lookup_table != 0 ? d.lookup_table : d.address_table;
    for (uint64_t i = 0;; ++i) {
      uint64_t thunk = 0;
      const uint64_t slot = uint64_t(d.address_table) + i * 8;
      if (!image.read(lookup + i * 8, &thunk) || !image.has(slot, 8)) {
        throw Failure{"the import table of " + *module + " runs outside the image"};
      }
      if (thunk == 0) break;
      if (thunk >> 63) {
        missing.push_back(*module + "!#" + std::to_string(thunk & 0xFFFF) + " (by ordinal)");
        continue;
      }
      auto name = (thunk >> 31) ? std::nullopt : image.string(thunk + 2);
      if (!name)
        throw Failure{"an import name of " + *module + " (" + hex(thunk) + ") lies outside the image"};
      const void* target = kernel_export(*module, *name);
      if (target == nullptr) {
        missing.push_back(*module + "!" + *name);
        continue;
      }
      auto address = reinterpret_cast<uint64_t>(target);
      std::memcpy(base + slot, &address, 8);
    }
  }
  if (!missing.empty()) {
    std::string text = "imports the emulator does not export: ";
    for (std::size_t i = 0; i < missing.size(); ++i) text += (i ? ", " : "") + missing[i];
    throw Failure{text};
  }
}

// A GNU ld map beside a stripped image ("vr_mdm.map" for "vr_mdm.sys"): its
// symbol lines, "<16 spaces>0x<address><spaces><name>", name the routines
// the stripped file cannot.
void read_map(std::string_view text, uint64_t image_base, uint32_t image_size, std::vector<Symbol>& out) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    const std::size_t hex_at = line.find_first_not_of(' ');
    if (hex_at != 16 || line.substr(hex_at, 2) != "0x") continue;
    const std::size_t name_at = line.find_first_not_of(' ', line.find(' ', hex_at));
    if (name_at == std::string_view::npos) continue;
    const uint64_t address =
        std::strtoull(std::string(line.substr(hex_at, name_at - hex_at)).c_str(), nullptr, 16);
    std::string_view name = line.substr(name_at);
    name = name.substr(0, name.find('('));  // "DispatchPnp(_DEVICE_OBJECT*, _IRP*)": the routine's name
    if (address >= image_base && address - image_base < image_size && !name.empty() &&
        name.find_first_of(" =") == std::string_view::npos)
      out.push_back({static_cast<uintptr_t>(address - image_base), std::string(name)});
  }
}

std::shared_ptr<Image> map(const Bytes& file, std::string_view name, std::string_view linker_map) {
  uint16_t dos_magic = 0;
  uint32_t pe_offset = 0;
  if (!file.read(0, &dos_magic) || dos_magic != kDosMagic) throw Failure{"not a PE image: no MZ header"};
  if (!file.read(0x3C, &pe_offset)) throw Failure{"truncated DOS header"};
  uint32_t signature = 0;
  file_header fh;
  if (!file.read(pe_offset, &signature) || signature != kPeSignature)
    throw Failure{"not a PE image: no PE signature"};
  if (!file.read(uint64_t(pe_offset) + 4, &fh)) throw Failure{"truncated file header"};
  if (fh.machine != kMachineAmd64) throw Failure{"machine " + hex(fh.machine) + " is not AMD64 (0x8664)"};
  if (!(fh.characteristics & kFileExecutable)) throw Failure{"not an executable image"};
  const uint64_t opt_at = uint64_t(pe_offset) + 4 + sizeof fh;
  uint16_t magic = 0;
  if (!file.read(opt_at, &magic)) throw Failure{"truncated optional header"};
  if (magic != kPe32PlusMagic) throw Failure{"optional header magic " + hex(magic) + " is not PE32+ (0x20b)"};
  optional_header64 oh{};
  const std::size_t fixed = offsetof(optional_header64, directories);
  if (fh.optional_header_size < fixed || !file.has(opt_at, fh.optional_header_size) ||
      !file.has(opt_at, fixed)) {
    throw Failure{"truncated optional header"};
  }
  std::memcpy(&oh, file.data + opt_at, std::min<std::size_t>(sizeof oh, fh.optional_header_size));
  if (oh.directory_count > 16 ||
      fixed + oh.directory_count * sizeof(data_directory) > fh.optional_header_size) {
    throw Failure{"the data directories do not fit the optional header"};
  }
  for (uint32_t i = oh.directory_count; i < 16; ++i) oh.directories[i] = {};
  if (oh.section_alignment % kPage != 0 || oh.section_alignment == 0) {
    throw Failure{"section alignment " + hex(oh.section_alignment) + " is not a multiple of the page size"};
  }
  if (oh.image_size == 0 || oh.image_size > kMaxImageSize)
    throw Failure{"bad image size " + hex(oh.image_size)};
  if (oh.headers_size > oh.image_size || !file.has(0, oh.headers_size)) {
    throw Failure{"truncated headers: SizeOfHeaders " + hex(oh.headers_size) + ", file " + hex(file.size)};
  }
  const uint64_t table_at = opt_at + fh.optional_header_size;
  if (fh.section_count == 0 || fh.section_count > 96) {
    throw Failure{"bad section count " + std::to_string(fh.section_count)};
  }
  if (table_at + uint64_t(fh.section_count) * sizeof(section_header) > oh.headers_size) {
    throw Failure{"the section table runs past the headers"};
  }
  std::vector<section_header> sections(fh.section_count);
  for (std::size_t i = 0; i < sections.size(); ++i)
    file.read(table_at + i * sizeof(section_header), &sections[i]);

  // Sections: inside the image, after the headers, in their own pages, with
  // their file data inside the file.
  std::vector<std::pair<uint64_t, uint64_t>> spans;
  for (const section_header& s : sections) {
    const std::string sname(s.name, strnlen(s.name, sizeof s.name));
    const uint64_t vsize = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
    if (s.rva % oh.section_alignment != 0 || s.rva < page_up(oh.headers_size) ||
        uint64_t(s.rva) + vsize > oh.image_size) {
      throw Failure{"section " + sname + " (" + hex(s.rva) + ", " + hex(vsize) +
                    " bytes) lies outside the image"};
    }
    if (!(s.characteristics & kScnUninitialized) && s.raw_size != 0 && !file.has(s.raw_offset, s.raw_size)) {
      throw Failure{"section " + sname + " is truncated: its data ends at " +
                    hex(uint64_t(s.raw_offset) + s.raw_size) + ", the file at " + hex(file.size)};
    }
    spans.emplace_back(s.rva, s.rva + page_up(vsize));
  }
  std::sort(spans.begin(), spans.end());
  for (std::size_t i = 1; i < spans.size(); ++i) {
    if (spans[i].first < spans[i - 1].second) throw Failure{"sections overlap at " + hex(spans[i].first)};
  }
  const section_header* entry_section = nullptr;
  for (const section_header& s : sections) {
    const uint64_t vsize = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
    if (oh.entry_point >= s.rva && oh.entry_point < s.rva + vsize && (s.characteristics & kScnMemExecute))
      entry_section = &s;
  }
  if (oh.entry_point == 0 || entry_section == nullptr) {
    throw Failure{"no entry point: AddressOfEntryPoint " + hex(oh.entry_point) +
                  " is not in executable code"};
  }

  auto state = std::make_unique<Image::State>();
  state->name = std::string(name);
  state->size = page_up(oh.image_size);
  void* mem = mmap(nullptr, state->size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mem == MAP_FAILED) throw Failure{"cannot map " + hex(state->size) + " bytes"};
  state->base = static_cast<uint8_t*>(mem);
  g_mappings.fetch_add(1);
  uint8_t* base = state->base;
  std::memcpy(base, file.data, oh.headers_size);
  for (const section_header& s : sections) {
    if (s.characteristics & kScnUninitialized) continue;
    const uint64_t vsize = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
    std::memcpy(base + s.rva, file.data + s.raw_offset, std::min<uint64_t>(s.raw_size, vsize));
  }
  const Bytes image{base, oh.image_size};

  const int64_t delta = static_cast<int64_t>(reinterpret_cast<uint64_t>(base) - oh.image_base);
  const data_directory& relocs = oh.directories[kDirBaseReloc];
  if (delta != 0) {
    if (relocs.size == 0) {
      throw Failure{(fh.characteristics & kFileRelocsStripped)
                        ? "relocations stripped: the image cannot move"
                        : "no base relocations: the image cannot move"};
    }
    apply_relocations(image, base, relocs, delta);
  }
  bind_imports(image, base, oh.directories[kDirImport]);

  read_symbols(file, fh, sections, state->symbols);
  read_exports(image, oh.directories[kDirExport], state->symbols);
  read_map(linker_map, oh.image_base, oh.image_size, state->symbols);
  std::sort(state->symbols.begin(), state->symbols.end(),
            [](const Symbol& a, const Symbol& b) { return a.rva < b.rva; });
  state->entry_rva = oh.entry_point;

  if (mprotect(base, page_up(oh.headers_size), PROT_READ) != 0) throw Failure{"cannot protect the headers"};
  for (const section_header& s : sections) {
    const uint64_t vsize = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
    if (vsize == 0) continue;
    if (mprotect(base + s.rva, page_up(vsize), static_cast<int>(protection_of(s.characteristics))) != 0) {
      throw Failure{"cannot protect a section"};
    }
    if (s.characteristics & kScnMemExecute) {
      const auto lo = reinterpret_cast<uintptr_t>(base + s.rva);
      if (!register_code(lo, lo + vsize)) throw Failure{"too many images loaded at once"};
      state->code.emplace_back(lo, lo + vsize);
    }
  }
  return std::make_shared<Image>(std::move(state));
}

}  // namespace

Image::Image(std::unique_ptr<State> state)
    : state_(std::move(state)), name_(state_->name), base_(state_->base), size_(state_->size) {
  enlist(this);
}

Image::~Image() {
  delist(this);
  // A system thread still running in the image would fault on its next
  // instruction: such an image stays mapped, its code still trapped (the
  // thread is reported by the kernel's reset), rather than crash the process.
  const auto lo = reinterpret_cast<uintptr_t>(base_);
  if (emu::ke::system_thread_started_in(lo, lo + size_)) {
    static auto* kept = new std::vector<std::unique_ptr<State>>;  // for the life of the process
    std::lock_guard lock(images_mutex());
    kept->push_back(std::move(state_));
  }
}

bool Image::contains(const void* address) const {
  const auto a = reinterpret_cast<uintptr_t>(address);
  const auto lo = reinterpret_cast<uintptr_t>(base_);
  return a >= lo && a < lo + size_;
}

void* Image::entry_point() const { return state_->base + state_->entry_rva; }

void* Image::symbol(std::string_view name) const {
  for (const Symbol& s : state_->symbols)
    if (s.name == name) return state_->base + s.rva;
  return nullptr;
}

std::string Image::describe(const void* address) const {
  const uintptr_t rva = reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(base_);
  const auto& syms = state_->symbols;
  auto after =
      std::upper_bound(syms.begin(), syms.end(), rva, [](uintptr_t a, const Symbol& s) { return a < s.rva; });
  if (after != syms.begin()) {
    const Symbol& s = *std::prev(after);
    return rva == s.rva ? s.name : s.name + "+" + hex(rva - s.rva);
  }
  return name_ + "+" + hex(rva);
}

std::shared_ptr<Image> load_image(std::span<const uint8_t> file, std::string_view name, std::string* error,
                                  std::string_view linker_map) {
  try {
    return map(Bytes{file.data(), file.size()}, name, linker_map);
  } catch (const Failure& f) {
    if (error != nullptr) *error = std::string(name) + ": " + f.reason;
    return nullptr;
  }
}

std::shared_ptr<Image> load_image_file(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  const std::string name = path.substr(path.find_last_of('/') + 1);
  if (!in) {
    if (error != nullptr) *error = path + ": cannot be read";
    return nullptr;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string linker_map;
  if (path.size() > 4 && path.ends_with(".sys")) {
    std::ifstream map_file(path.substr(0, path.size() - 4) + ".map");
    if (map_file)
      linker_map.assign(std::istreambuf_iterator<char>(map_file), std::istreambuf_iterator<char>());
  }
  return load_image(bytes, name, error, linker_map);
}

void enlist(const Image* image) {
  std::lock_guard lock(images_mutex());
  images().push_back(image);
}

void delist(const Image* image) {
  std::lock_guard lock(images_mutex());
  std::erase(images(), image);
}

std::size_t mapped_images() { return g_mappings.load(); }

std::optional<std::string> describe_address(const void* address) {
  std::lock_guard lock(images_mutex());
  for (const Image* image : images())
    if (image->contains(address)) return image->describe(address);
  return std::nullopt;
}

}  // namespace emu::ldr
