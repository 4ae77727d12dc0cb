#pragma once
// The console's wire format: command headers, the 13-byte parameter frame, download
// blocks read from a file, and upload files written with the dollar-sign terminator
// rule. No I/O to the port here; the console link sends what these build.

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kestro::console {

inline constexpr std::uint8_t kStartData = 0x02;    // an "AprData.bin" upload begins
inline constexpr std::uint8_t kStartStruct = 0x03;  // an "AprStruct.bin" upload begins
inline constexpr std::uint8_t kDownloadDone = 0x04;
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kNak = 0x15;

inline constexpr int kBlockDataBytes = 512;   // data bytes of a full block
inline constexpr int kGroupsPerBlock = 128;   // groups of four bytes per block
inline constexpr int kTrailerDollars = 64;    // dollar signs closing an upload file
inline constexpr std::uint32_t kConsoleNotify = 0x7EA;  // WM_CONSOLE_NOTIFY

// The header code of an operation (0xFF for operations without one).
std::uint8_t headerCode(int operation);
// 0xFF, c, 0xFF, c.
std::array<std::uint8_t, 4> commandHeader(int operation);
// Operations 9 and 10: the header, then p, 0xFF, 0x08, 0xFF, 0x08, low byte of p + 14,
// and three bytes 0x00.
std::array<std::uint8_t, 13> parameterFrame(int operation, std::uint8_t param);

inline bool isUploadOperation(int operation) { return operation == 12 || operation == 13; }
inline bool isParameterOperation(int operation) { return operation == 9 || operation == 10; }

// Reads a download file block by block. A block holds up to 128 groups of four bytes
// followed by the 8-bit sum of its bytes; a group of four asterisks is the end marker,
// sent as 0xFF 0x08 0xFF 0x08, and ends the block and the download. A file without the
// marker ends with the block that reaches its end.
class DownloadReader {
public:
    DownloadReader() = default;
    ~DownloadReader();
    DownloadReader(const DownloadReader&) = delete;
    DownloadReader& operator=(const DownloadReader&) = delete;

    // false when the file cannot be opened for reading.
    bool open(const std::string& nativePath);
    void close();
    bool isOpen() const { return m_file != nullptr; }
    // The file's length in bytes (0 when closed).
    long long length() const { return m_length; }

    // Builds the next block into block (data bytes and checksum). checksum receives the
    // block's running sum. Returns false when the file held nothing more to send.
    bool nextBlock(std::vector<std::uint8_t>& block, std::uint8_t& checksum);
    // The last block built ended the download (marker or end of file).
    bool finished() const { return m_finished; }

private:
    std::FILE* m_file = nullptr;
    long long m_length = 0;
    long long m_position = 0;
    bool m_finished = false;
};

// Writes one uploaded file. Bytes are handed in one at a time; four dollar signs in a
// row end the data (shorter runs are data and are written with the byte that ended
// them). finish() appends 64 dollar signs and four asterisks and closes the file.
// Without a file (it could not be created) the bytes are only followed, not written.
class UploadWriter {
public:
    UploadWriter() = default;
    ~UploadWriter();
    UploadWriter(const UploadWriter&) = delete;
    UploadWriter& operator=(const UploadWriter&) = delete;

    // Creates (truncating) the file; false when it cannot be created.
    bool create(const std::string& nativePath);
    bool hasFile() const { return m_file != nullptr; }
    // true once the terminator has been received.
    bool put(std::uint8_t byte);
    bool terminated() const { return m_dollars >= 4; }
    // Writes a pending short run of dollar signs (the upload stopped in the middle).
    void flushPending();
    // Appends the trailer and closes the file. false when a write failed.
    bool finish();
    long long dataBytes() const { return m_dataBytes; }

private:
    void writeBytes(const std::uint8_t* data, std::size_t count);

    std::FILE* m_file = nullptr;
    int m_dollars = 0;
    long long m_dataBytes = 0;
    bool m_writeFailed = false;
};

}  // namespace kestro::console
