// Version texts: the library's own, and a Windows PE file's fixed file information
// read on Linux, on small PE files made here, on damaged copies of them, and on the
// cross-built Kestro.dll when it exists.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <kestro/kestro.h>

#include "kestro_version.h"
#include "platform/posix/pe_version.h"
#include "temp_host.h"

namespace kestro::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

// Offsets of the pieces of the file that makePe builds, for the damage tests.
constexpr std::size_t kPe = 0x40;
constexpr std::size_t kRsrc = 0x200;                  // file offset of the resource section
constexpr std::size_t kLeaf = kRsrc + 0x48;           // the data entry
constexpr std::size_t kVersionInfo = kRsrc + 0x58;    // VS_VERSIONINFO
constexpr std::size_t kFixed = kVersionInfo + 40;     // VS_FIXEDFILEINFO

// A PE file whose only section holds a resource tree with one version resource.
Bytes makePe(std::uint32_t ms, std::uint32_t ls, bool pe32plus = false) {
    const std::size_t optionalSize = pe32plus ? 240 : 224;
    Bytes b(kRsrc + 0x200, 0);
    b[0] = 'M';
    b[1] = 'Z';
    put32(b, 0x3C, kPe);
    put32(b, kPe, 0x00004550);
    put16(b, kPe + 4, pe32plus ? 0x8664 : 0x14C);
    put16(b, kPe + 6, 1);  // one section
    put16(b, kPe + 20, static_cast<std::uint32_t>(optionalSize));
    const std::size_t optional = kPe + 24;
    put16(b, optional, pe32plus ? 0x20B : 0x10B);
    const std::size_t rvaCount = optional + (pe32plus ? 108 : 92);
    put32(b, rvaCount, 16);
    put32(b, rvaCount + 4 + 2 * 8, 0x1000);  // resource directory RVA
    put32(b, rvaCount + 4 + 2 * 8 + 4, 0x200);
    const std::size_t section = optional + optionalSize;
    std::memcpy(&b[section], ".rsrc", 5);
    put32(b, section + 8, 0x200);    // virtual size
    put32(b, section + 12, 0x1000);  // virtual address
    put32(b, section + 16, 0x200);   // raw size
    put32(b, section + 20, kRsrc);   // raw offset
    // Type 16 -> name 1 -> language 0x409 -> data entry.
    put16(b, kRsrc + 14, 1);
    put32(b, kRsrc + 16, 16);
    put32(b, kRsrc + 20, 0x80000000u | 0x18);
    put16(b, kRsrc + 0x18 + 14, 1);
    put32(b, kRsrc + 0x18 + 16, 1);
    put32(b, kRsrc + 0x18 + 20, 0x80000000u | 0x30);
    put16(b, kRsrc + 0x30 + 14, 1);
    put32(b, kRsrc + 0x30 + 16, 0x409);
    put32(b, kRsrc + 0x30 + 20, 0x48);
    put32(b, kLeaf, 0x1000 + 0x58);
    put32(b, kLeaf + 4, 40 + 52);
    put16(b, kVersionInfo, 40 + 52);
    put16(b, kVersionInfo + 2, 52);
    const char key[] = "VS_VERSION_INFO";
    for (std::size_t i = 0; i < sizeof key; ++i) put16(b, kVersionInfo + 6 + 2 * i, static_cast<unsigned char>(key[i]));
    put32(b, kFixed, 0xFEEF04BD);
    put32(b, kFixed + 4, 0x00010000);
    put32(b, kFixed + 8, ms);
    put32(b, kFixed + 12, ls);
    return b;
}

std::string text(const Bytes& file) {
    const auto v = platform::peFileVersion(file);
    if (!v) return "";
    return std::to_string((*v)[0]) + "." + std::to_string((*v)[1]) + "." + std::to_string((*v)[2]) + "." +
           std::to_string((*v)[3]);
}

TEST(PeVersion, FixedFileInformationOfPe32AndPe32Plus) {
    EXPECT_EQ(text(makePe(0x00010002, 0x00030004)), "1.2.3.4");
    EXPECT_EQ(text(makePe(0xFFFF0000, 0x0000FFFF, true)), "65535.0.0.65535");
}

TEST(PeVersion, DamagedFilesGiveNothing) {
    const Bytes good = makePe(0x00010002, 0x00030004);
    // Every cut-off copy, down to nothing.
    for (std::size_t size = 0; size < kFixed + 16; ++size)
        ASSERT_EQ(text(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size))), "") << size;

    struct Damage {
        const char* what;
        std::size_t at;
        std::uint32_t value;
    };
    const Damage damages[] = {
        {"not MZ", 0, 0x5A4E},
        {"PE header beyond the file", 0x3C, 0xFFFFFFF0u},
        {"no PE signature", kPe, 0x00004551},
        {"unknown optional header", kPe + 24, 0x0107},
        {"resource RVA outside every section", kPe + 24 + 92 + 4 + 16, 0x9000},
        {"section data beyond the file", kPe + 24 + 224 + 20, 0x7FFFFFF0u},
        {"no version type", kRsrc + 16, 3},
        {"name level not a directory", kRsrc + 20, 0x18},
        {"directory beyond the section", kRsrc + 20, 0x80000000u | 0x7FFFFFF0u},
        {"huge entry count", kRsrc + 0x18 + 12, 0xFFFF},
        {"data RVA outside", kLeaf, 0x1000 + 0x1F0},
        {"data larger than the section", kLeaf + 4, 0x10000},
        {"wrong key", kVersionInfo + 6, 'W'},
        {"value too short", kVersionInfo + 2, 40},
        {"length beyond the data", kVersionInfo, 0xFFFF},
        {"bad signature", kFixed, 0xFEEF04BE},
    };
    for (const Damage& d : damages) {
        Bytes bad = good;
        if (d.value > 0xFFFF || d.at == kPe || d.at == kLeaf || d.at == kFixed || d.at % 4 == 0)
            put32(bad, d.at, d.value);
        else
            put16(bad, d.at, d.value);
        EXPECT_EQ(text(bad), "") << d.what;
    }
}

TEST(PeVersion, ServiceFunctionReadsTheNamedFile) {
    TempHost host;
    const Bytes pe = makePe(0x00040002, 0x00090007);
    host.write("tool.exe", std::string(pe.begin(), pe.end()));
    host.write("notes.txt", "MZ but not a PE file at all");
    EXPECT_STREQ(GSIGetFileVersion((host.dir() / "tool.exe").c_str()), "4.2.9.7");
    EXPECT_STREQ(GSIGetFileVersion((host.dir() / "notes.txt").c_str()), "");
    EXPECT_STREQ(GSIGetFileVersion((host.dir() / "missing.dll").c_str()), "");
    EXPECT_STREQ(GSIGetFileVersion(host.dir().c_str()), "");  // a directory
    EXPECT_STREQ(GSIGetFileVersion(nullptr), "");
    EXPECT_STREQ(GSIGetFileVersion(""), "");
}

TEST(PeVersion, LibraryVersionComesFromTheVersionFile) {
    const std::string expected = KESTRO_VERSION_STRING ".0";
    const char* first = GIGetKestroDLLVersion();
    EXPECT_EQ(std::string(first), expected);
    // The text stays put until the next call.
    const std::string copy = first;
    EXPECT_STREQ(GSIGetFileVersion(""), "");
    EXPECT_EQ(std::string(first), copy);
}

TEST(PeVersion, CrossBuiltDllCarriesTheVersionFile) {
    const std::string dll = KESTRO_CROSS_BUILT_DLL;
    if (!std::filesystem::exists(dll)) GTEST_SKIP() << "no cross-built Kestro.dll at " << dll;
    EXPECT_EQ(std::string(GSIGetFileVersion(dll.c_str())), KESTRO_VERSION_STRING ".0");
}

}  // namespace
}  // namespace kestro::test
