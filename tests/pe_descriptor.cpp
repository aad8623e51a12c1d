// pe_descriptor BITS FILE.dll: reads a plug-in DLL's module descriptor from the
// file alone, without loading it, and prints it as `minimal_host --descriptor`
// prints a loaded one. It finds "_mod_descrip" in the export table, follows
// its address through the sections, and reads the three numbers and the
// server table, whose pointers hold addresses at the preferred image base.
// A program of the build machine: it reads DLLs of either width.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Section {
  uint32_t address, size, file_offset, file_size;
};

class PeImage {
public:
  PeImage(const std::string& path, int bits) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const uint32_t pe = u32(0x3C);
    if (bytes.size() < 2 || bytes[0] != 'M' || bytes[1] != 'Z' || u32(pe) != 0x00004550)
      throw std::runtime_error(path + " is not a PE image");
    const uint32_t coff = pe + 4, optional = coff + 20;
    const uint16_t magic = u16(optional);
    wide = magic == 0x20B;
    if (magic != 0x10B && magic != 0x20B) throw std::runtime_error("unknown optional header");
    if ((wide ? 64 : 32) != bits)
      throw std::runtime_error(path + " is a " + (wide ? "64" : "32") + "-bit image, expected " +
                               std::to_string(bits));
    image_base = wide ? u64(optional + 24) : u32(optional + 28);
    const uint32_t directories = optional + (wide ? 112 : 96);
    export_rva = u32(directories);
    const uint32_t first = optional + u16(coff + 16);
    for (uint16_t i = 0; i < u16(coff + 2); ++i) {
      const uint32_t h = first + 40u * i;
      sections.push_back(Section{u32(h + 12), u32(h + 8), u32(h + 20), u32(h + 16)});
    }
  }

  // File offset of an address relative to the image base; throws when the
  // address lies in no section's bytes in the file.
  uint32_t offset_of(uint64_t rva) const {
    for (const Section& s : sections) {
      // Bytes past the file's part of a section are zeros in memory, not in the file.
      const uint32_t in_file = s.size ? std::min(s.size, s.file_size) : s.file_size;
      if (rva >= s.address && rva - s.address < in_file)
        return s.file_offset + static_cast<uint32_t>(rva - s.address);
    }
    throw std::runtime_error("address 0x" + hex(rva) + " is in no section of the file");
  }
  uint32_t u32_at(uint64_t rva) const { return u32(offset_of(rva)); }
  uint64_t pointer_at(uint64_t rva) const {
    return wide ? u64(offset_of(rva)) : u32(offset_of(rva));
  }
  std::string text_at(uint64_t rva) const {
    const uint32_t at = offset_of(rva);
    const void* end = memchr(bytes.data() + at, 0, bytes.size() - at);
    if (!end) throw std::runtime_error("unterminated text");
    return std::string(bytes.data() + at, static_cast<const char*>(end));
  }
  // A pointer stored in the image: an address at the preferred base.
  uint64_t rva_of_pointer(uint64_t va) const { return va - image_base; }

  // The address of a named export relative to the image base.
  uint32_t export_named(const std::string& name) const {
    if (!export_rva) throw std::runtime_error("no export table");
    const uint32_t count = u32_at(export_rva + 24);
    const uint32_t functions = u32_at(export_rva + 28), names = u32_at(export_rva + 32),
                   ordinals = u32_at(export_rva + 36);
    for (uint32_t i = 0; i < count; ++i) {
      if (text_at(u32_at(names + 4u * i)) != name) continue;
      const uint16_t ordinal = u16(offset_of(ordinals + 2u * i));
      return u32_at(functions + 4u * ordinal);
    }
    throw std::runtime_error("no export named " + name);
  }

  bool wide = false;

private:
  static std::string hex(uint64_t v) {
    char b[24];
    snprintf(b, sizeof b, "%llx", static_cast<unsigned long long>(v));
    return b;
  }
  uint64_t read(uint64_t at, int n) const {
    if (at + n > bytes.size()) throw std::runtime_error("read past the end of the file");
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
    return v;
  }
  uint16_t u16(uint64_t at) const { return static_cast<uint16_t>(read(at, 2)); }
  uint32_t u32(uint64_t at) const { return static_cast<uint32_t>(read(at, 4)); }
  uint64_t u64(uint64_t at) const { return read(at, 8); }

  std::vector<char> bytes;
  uint64_t image_base = 0;
  uint32_t export_rva = 0;
  std::vector<Section> sections;
};

void print_descriptor(const PeImage& dll) {
  const uint64_t d = dll.export_named("_mod_descrip");
  const uint32_t sync = dll.u32_at(d), version = dll.u32_at(d + 4);
  printf("synchronisation word 0x%08X\n", sync);
  printf("version %u\n", version);
  printf("machine 0x%X\n", dll.u32_at(d + 8));
  if (sync != 0x04121994 || version != 3) return;
  // Three 32-bit numbers, then start-up, shut-down and the server table, each
  // pointer aligned to its own size.
  const unsigned ptr = dll.wide ? 8 : 4;
  const uint64_t table = dll.pointer_at(d + (dll.wide ? 16 : 12) + 2 * ptr);
  for (uint64_t record = dll.rva_of_pointer(table);; record += 4 * ptr) {
    const uint64_t class_name = dll.pointer_at(record), name = dll.pointer_at(record + ptr);
    if (!class_name) break;
    printf("server %s %s\n", dll.text_at(dll.rva_of_pointer(class_name)).c_str(),
           name ? dll.text_at(dll.rva_of_pointer(name)).c_str() : "(null)");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (strcmp(argv[1], "32") && strcmp(argv[1], "64"))) {
    fprintf(stderr, "usage: pe_descriptor 32|64 FILE.dll\n");
    return 2;
  }
  try {
    print_descriptor(PeImage(argv[2], atoi(argv[1])));
  } catch (const std::exception& e) {
    fprintf(stderr, "pe_descriptor: %s\n", e.what());
    return 1;
  }
  return 0;
}
