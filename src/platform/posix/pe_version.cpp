// Reading VS_FIXEDFILEINFO out of a PE file's resource section.

#include "platform/posix/pe_version.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <vector>

namespace kestro::platform {
namespace {

constexpr std::uint32_t kResourceTypeVersion = 16;  // RT_VERSION
constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr std::size_t kFixedInfoSize = 52;
constexpr std::size_t kMaxFileSize = 64u << 20;
constexpr std::uint32_t kMaxDirectoryEntries = 4096;

// Little-endian reads that fail instead of reading past the end.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool has(std::uint64_t offset, std::uint64_t count) const {
        return offset <= bytes_.size() && count <= bytes_.size() - offset;
    }
    std::optional<std::uint16_t> u16(std::uint64_t offset) const {
        if (!has(offset, 2)) return std::nullopt;
        return static_cast<std::uint16_t>(bytes_[offset] | bytes_[offset + 1] << 8);
    }
    std::optional<std::uint32_t> u32(std::uint64_t offset) const {
        if (!has(offset, 4)) return std::nullopt;
        return static_cast<std::uint32_t>(bytes_[offset]) | static_cast<std::uint32_t>(bytes_[offset + 1]) << 8 |
               static_cast<std::uint32_t>(bytes_[offset + 2]) << 16 |
               static_cast<std::uint32_t>(bytes_[offset + 3]) << 24;
    }

private:
    std::span<const std::uint8_t> bytes_;
};

struct Section {
    std::uint32_t virtualAddress;
    std::uint32_t virtualSize;
    std::uint32_t rawOffset;
    std::uint32_t rawSize;
};

// The file offset of `count` bytes at rva, when they lie in one section's raw data and
// in the file.
std::optional<std::uint64_t> fileOffset(const Reader& r, const std::vector<Section>& sections, std::uint32_t rva,
                                        std::uint32_t count) {
    for (const Section& s : sections) {
        const std::uint64_t start = s.virtualAddress;
        const std::uint64_t span = std::max(s.virtualSize, s.rawSize);
        if (rva < start || rva - start >= span) continue;
        const std::uint64_t within = rva - start;
        if (within + count > s.rawSize) return std::nullopt;
        const std::uint64_t offset = std::uint64_t{s.rawOffset} + within;
        if (!r.has(offset, count)) return std::nullopt;
        return offset;
    }
    return std::nullopt;
}

// The entry of a resource directory at dirOffset (relative to the resource base) that
// matches id, or the first entry when id is nothing. Gives the entry's raw
// OffsetToData field.
std::optional<std::uint32_t> directoryEntry(const Reader& r, std::uint64_t base, std::uint32_t dirOffset,
                                            std::optional<std::uint32_t> id) {
    const std::uint64_t dir = base + dirOffset;
    const auto named = r.u16(dir + 12);
    const auto ids = r.u16(dir + 14);
    if (!named || !ids) return std::nullopt;
    const std::uint32_t count = std::uint32_t{*named} + *ids;
    if (count == 0 || count > kMaxDirectoryEntries) return std::nullopt;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t entry = dir + 16 + std::uint64_t{i} * 8;
        const auto name = r.u32(entry);
        const auto data = r.u32(entry + 4);
        if (!name || !data) return std::nullopt;
        if (!id || *name == *id) return *data;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> subdirectory(std::optional<std::uint32_t> entry) {
    if (!entry || (*entry & 0x80000000u) == 0) return std::nullopt;
    return *entry & 0x7FFFFFFFu;
}

}  // namespace

std::optional<std::array<std::uint16_t, 4>> peFileVersion(std::span<const std::uint8_t> file) {
    const Reader r(file);
    if (file.size() < 64 || file[0] != 'M' || file[1] != 'Z') return std::nullopt;
    const auto peOffset = r.u32(0x3C);
    if (!peOffset || !r.has(*peOffset, 24)) return std::nullopt;
    if (*r.u32(*peOffset) != 0x00004550u) return std::nullopt;  // "PE\0\0"
    const std::uint64_t coff = std::uint64_t{*peOffset} + 4;
    const std::uint16_t sectionCount = *r.u16(coff + 2);
    const std::uint16_t optionalSize = *r.u16(coff + 16);
    const std::uint64_t optional = coff + 20;

    const auto magic = r.u16(optional);
    if (!magic) return std::nullopt;
    std::uint64_t rvaCountAt = 0;
    if (*magic == 0x10B) rvaCountAt = 92;  // PE32
    else if (*magic == 0x20B) rvaCountAt = 108;  // PE32+
    else return std::nullopt;
    const auto rvaCount = r.u32(optional + rvaCountAt);
    if (!rvaCount || *rvaCount < 3 || rvaCountAt + 4 + 3 * 8 > optionalSize) return std::nullopt;
    const auto resourceRva = r.u32(optional + rvaCountAt + 4 + 2 * 8);
    const auto resourceSize = r.u32(optional + rvaCountAt + 4 + 2 * 8 + 4);
    if (!resourceRva || !resourceSize || *resourceRva == 0 || *resourceSize < 16) return std::nullopt;

    std::vector<Section> sections;
    const std::uint64_t table = optional + optionalSize;
    for (std::uint32_t i = 0; i < sectionCount; ++i) {
        const std::uint64_t s = table + std::uint64_t{i} * 40;
        if (!r.has(s, 40)) return std::nullopt;
        sections.push_back({*r.u32(s + 12), *r.u32(s + 8), *r.u32(s + 20), *r.u32(s + 16)});
    }
    const auto base = fileOffset(r, sections, *resourceRva, 16);
    if (!base) return std::nullopt;

    // Type RT_VERSION, then the first name, then the first language.
    const auto names = subdirectory(directoryEntry(r, *base, 0, kResourceTypeVersion));
    if (!names) return std::nullopt;
    const auto languages = subdirectory(directoryEntry(r, *base, *names, std::nullopt));
    if (!languages) return std::nullopt;
    const auto leaf = directoryEntry(r, *base, *languages, std::nullopt);
    if (!leaf || (*leaf & 0x80000000u) != 0) return std::nullopt;
    const auto dataRva = r.u32(*base + *leaf);
    const auto dataSize = r.u32(*base + *leaf + 4);
    if (!dataRva || !dataSize) return std::nullopt;
    const auto data = fileOffset(r, sections, *dataRva, *dataSize);
    if (!data) return std::nullopt;

    // VS_VERSIONINFO: length, value length, type, the key "VS_VERSION_INFO" in UTF-16
    // with its terminator, padding to 32 bits, then VS_FIXEDFILEINFO.
    static constexpr char kKey[] = "VS_VERSION_INFO";
    if (*dataSize < 6 + sizeof kKey * 2) return std::nullopt;
    const auto length = r.u16(*data);
    const auto valueLength = r.u16(*data + 2);
    if (!length || !valueLength || *length > *dataSize || *valueLength < kFixedInfoSize) return std::nullopt;
    for (std::size_t i = 0; i < sizeof kKey; ++i)
        if (r.u16(*data + 6 + 2 * i) != std::uint16_t{static_cast<unsigned char>(kKey[i])}) return std::nullopt;
    const std::uint64_t value = (6 + sizeof kKey * 2 + 3) & ~std::uint64_t{3};
    if (value + kFixedInfoSize > *length) return std::nullopt;
    const std::uint64_t fixed = *data + value;
    if (!r.has(fixed, kFixedInfoSize) || r.u32(fixed) != kFixedInfoSignature) return std::nullopt;
    const std::uint32_t ms = *r.u32(fixed + 8);
    const std::uint32_t ls = *r.u32(fixed + 12);
    return std::array<std::uint16_t, 4>{static_cast<std::uint16_t>(ms >> 16), static_cast<std::uint16_t>(ms & 0xFFFF),
                                        static_cast<std::uint16_t>(ls >> 16), static_cast<std::uint16_t>(ls & 0xFFFF)};
}

std::string peFileVersionText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::vector<std::uint8_t> bytes;
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        bytes.insert(bytes.end(), chunk, chunk + in.gcount());
        if (bytes.size() > kMaxFileSize) return {};
    }
    const auto version = peFileVersion(bytes);
    if (!version) return {};
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned{(*version)[0]}, unsigned{(*version)[1]},
                  unsigned{(*version)[2]}, unsigned{(*version)[3]});
    return text;
}

}  // namespace kestro::platform
