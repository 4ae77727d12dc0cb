// The console's wire format: headers, the parameter frame, download blocks, upload files.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "console/console_frames.h"
#include "temp_host.h"

namespace kestro::console {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ConsoleFrames, HeaderCodesOfEveryOperation) {
    const std::pair<int, int> cases[] = {{1, 1},  {2, 2},   {3, 3},   {4, 4},   {5, 5},   {6, 6},   {7, 13},
                                         {8, 10}, {9, 11},  {10, 12}, {11, 14}, {12, 16}, {13, 17}, {0, 0xFF},
                                         {14, 0xFF}, {-1, 0xFF}};
    for (auto [operation, code] : cases) {
        const auto h = commandHeader(operation);
        EXPECT_EQ(h[0], 0xFF) << operation;
        EXPECT_EQ(h[1], code) << operation;
        EXPECT_EQ(h[2], 0xFF) << operation;
        EXPECT_EQ(h[3], code) << operation;
    }
}

TEST(ConsoleFrames, ParameterFrameOfOperations9And10) {
    const auto f9 = parameterFrame(9, 3);
    EXPECT_EQ(Bytes(f9.begin(), f9.end()),
              (Bytes{0xFF, 0x0B, 0xFF, 0x0B, 0x03, 0xFF, 0x08, 0xFF, 0x08, 0x11, 0x00, 0x00, 0x00}));
    const auto f10 = parameterFrame(10, 250);  // p + 14 wraps to its low byte
    EXPECT_EQ(Bytes(f10.begin(), f10.end()),
              (Bytes{0xFF, 0x0C, 0xFF, 0x0C, 250, 0xFF, 0x08, 0xFF, 0x08, 0x08, 0x00, 0x00, 0x00}));
}

class Blocks : public ::testing::Test {
protected:
    // The blocks a file gives, and whether the reader ended the download after the last.
    std::vector<Bytes> blocksOf(const std::string& content) {
        const auto path = host.dir() / "download.bin";
        std::ofstream(path, std::ios::binary) << content;
        DownloadReader reader;
        EXPECT_TRUE(reader.open(path.string()));
        EXPECT_EQ(reader.length(), static_cast<long long>(content.size()));
        std::vector<Bytes> blocks;
        Bytes block;
        std::uint8_t sum = 0;
        while (reader.nextBlock(block, sum)) {
            EXPECT_EQ(sum, block.back());
            blocks.push_back(block);
            if (reader.finished()) break;
            if (blocks.size() > 100000) break;
        }
        EXPECT_TRUE(reader.finished());
        return blocks;
    }
    static std::uint8_t sumOf(const Bytes& data, std::size_t count) {
        unsigned s = 0;
        for (std::size_t i = 0; i < count; ++i) s += data[i];
        return static_cast<std::uint8_t>(s);
    }
    test::TempHost host;
};

TEST_F(Blocks, MarkerIsSentAsItsCodeAndCountsInTheChecksum) {
    const auto blocks = blocksOf("ABCD****");
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0], (Bytes{0x41, 0x42, 0x43, 0x44, 0xFF, 0x08, 0xFF, 0x08, 0x18}));
}

TEST_F(Blocks, SizesOfFullAndFinalBlocks) {
    struct Case {
        std::string content;
        std::vector<std::size_t> sizes;
    };
    const std::string k512(512, 'a');
    const Case cases[] = {
        {k512 + k512 + "****", {513, 513, 5}},
        {k512 + "****", {513, 5}},
        {"****", {5}},
        {k512 + k512, {513, 513}},       // no marker: ends with the block reaching the end
        {std::string(1000, 'b'), {513, 489}},
        {"abcdef", {7}},                 // a short last group is sent as it is
        {"ab**" + std::string("**xy****"), {13}},  // only an aligned group of four is the marker
    };
    for (const Case& c : cases) {
        const auto blocks = blocksOf(c.content);
        std::vector<std::size_t> sizes;
        for (const Bytes& b : blocks) sizes.push_back(b.size());
        EXPECT_EQ(sizes, c.sizes) << c.content.size() << " bytes";
    }
}

TEST_F(Blocks, DataAfterTheMarkerIsNotSent) {
    const auto blocks = blocksOf("wxyz****trailing bytes");
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].size(), 9u);
}

TEST_F(Blocks, BlockContentAndChecksumOfBinaryData) {
    std::string content;
    for (int i = 0; i < 700; ++i) content.push_back(static_cast<char>((i * 37 + 11) & 0xFF));
    content += "****";
    const auto blocks = blocksOf(content);
    ASSERT_EQ(blocks.size(), 2u);
    Bytes data(content.begin(), content.end());
    EXPECT_TRUE(std::equal(blocks[0].begin(), blocks[0].begin() + 512, data.begin()));
    EXPECT_EQ(blocks[0][512], sumOf(data, 512));
    Bytes second(data.begin() + 512, data.begin() + 700);
    EXPECT_TRUE(std::equal(blocks[1].begin(), blocks[1].begin() + 188, second.begin()));
    Bytes expectedTail{0xFF, 0x08, 0xFF, 0x08};
    EXPECT_TRUE(std::equal(blocks[1].begin() + 188, blocks[1].begin() + 192, expectedTail.begin()));
    EXPECT_EQ(blocks[1][192], static_cast<std::uint8_t>(sumOf(second, 188) + 0x0E));
}

TEST(DownloadReaderFile, MissingFileDoesNotOpen) {
    DownloadReader reader;
    EXPECT_FALSE(reader.open("/nonexistent/dir/file.bin"));
    Bytes block;
    std::uint8_t sum = 0;
    EXPECT_FALSE(reader.nextBlock(block, sum));
}

std::string uploadOf(const std::string& stream, bool* terminated) {
    test::TempHost host;
    const auto path = host.dir() / "AprStruct.bin";
    UploadWriter writer;
    EXPECT_TRUE(writer.create(path.string()));
    for (char c : stream)
        if (writer.put(static_cast<std::uint8_t>(c))) break;
    *terminated = writer.terminated();
    if (!writer.terminated()) writer.flushPending();
    EXPECT_TRUE(writer.finish());
    return test::TempHost::readFile(path);
}

TEST(UploadFile, DollarRuleAndTrailer) {
    const std::string trailer = std::string(64, '$') + "****";
    struct Case {
        std::string stream;
        std::string file;
        bool terminated;
    };
    const Case cases[] = {
        {"x$$y$$$$", "x$$y" + trailer, true},
        {"$$$a$b$$$$rest", "$$$a$b" + trailer, true},  // bytes after the terminator are not data
        {"$$$$", trailer, true},
        {"ab$$", "ab$$" + trailer, false},              // stopped in a run: the run is kept
        {std::string("\0\x01$\0", 4), std::string("\0\x01$\0", 4) + trailer, false},
    };
    for (const Case& c : cases) {
        bool terminated = false;
        EXPECT_EQ(uploadOf(c.stream, &terminated), c.file) << c.stream;
        EXPECT_EQ(terminated, c.terminated) << c.stream;
    }
}

}  // namespace
}  // namespace kestro::console
