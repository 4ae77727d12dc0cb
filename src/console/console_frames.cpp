#include "console/console_frames.h"

#include <cstring>

namespace kestro::console {

std::uint8_t headerCode(int operation) {
    static constexpr std::uint8_t kCodes[14] = {0xFF, 1, 2, 3, 4, 5, 6, 13, 10, 11, 12, 14, 16, 17};
    if (operation < 1 || operation > 13) return 0xFF;
    return kCodes[operation];
}

std::array<std::uint8_t, 4> commandHeader(int operation) {
    const std::uint8_t c = headerCode(operation);
    return {0xFF, c, 0xFF, c};
}

std::array<std::uint8_t, 13> parameterFrame(int operation, std::uint8_t param) {
    const auto h = commandHeader(operation);
    return {h[0], h[1], h[2], h[3], param, 0xFF, 0x08, 0xFF, 0x08, static_cast<std::uint8_t>(param + 14), 0, 0, 0};
}

// ---- DownloadReader ----------------------------------------------------------------------

DownloadReader::~DownloadReader() { close(); }

bool DownloadReader::open(const std::string& nativePath) {
    close();
    m_file = std::fopen(nativePath.c_str(), "rb");
    if (!m_file) return false;
    if (std::fseek(m_file, 0, SEEK_END) != 0) {
        close();
        return false;
    }
    const long end = std::ftell(m_file);
    if (end < 0 || std::fseek(m_file, 0, SEEK_SET) != 0) {
        close();
        return false;
    }
    m_length = end;
    m_position = 0;
    m_finished = false;
    return true;
}

void DownloadReader::close() {
    if (m_file) std::fclose(m_file);
    m_file = nullptr;
    m_length = 0;
    m_position = 0;
}

bool DownloadReader::nextBlock(std::vector<std::uint8_t>& block, std::uint8_t& checksum) {
    block.clear();
    checksum = 0;
    if (!m_file || m_finished) return false;
    for (int group = 0; group < kGroupsPerBlock; ++group) {
        std::uint8_t bytes[4];
        const std::size_t n = std::fread(bytes, 1, 4, m_file);
        m_position += static_cast<long long>(n);
        if (n == 4 && std::memcmp(bytes, "****", 4) == 0) {
            static constexpr std::uint8_t kMarker[4] = {0xFF, 0x08, 0xFF, 0x08};
            block.insert(block.end(), kMarker, kMarker + 4);
            checksum = static_cast<std::uint8_t>(checksum + 0x0E);  // 0xFF+0x08+0xFF+0x08
            m_finished = true;
            break;
        }
        for (std::size_t i = 0; i < n; ++i) checksum = static_cast<std::uint8_t>(checksum + bytes[i]);
        block.insert(block.end(), bytes, bytes + n);
        if (n < 4) {  // end of the file (or a read error): nothing follows
            m_finished = true;
            break;
        }
    }
    // A file without the marker ends with the block that reaches its end.
    if (m_position >= m_length) m_finished = true;
    if (block.empty()) return false;
    block.push_back(checksum);
    return true;
}

// ---- UploadWriter --------------------------------------------------------------------------

UploadWriter::~UploadWriter() {
    if (m_file) std::fclose(m_file);
}

bool UploadWriter::create(const std::string& nativePath) {
    if (m_file) std::fclose(m_file);
    m_file = std::fopen(nativePath.c_str(), "wb");
    m_dollars = 0;
    m_dataBytes = 0;
    m_writeFailed = false;
    return m_file != nullptr;
}

void UploadWriter::writeBytes(const std::uint8_t* data, std::size_t count) {
    m_dataBytes += static_cast<long long>(count);
    if (m_file && std::fwrite(data, 1, count, m_file) != count) m_writeFailed = true;
}

bool UploadWriter::put(std::uint8_t byte) {
    if (terminated()) return true;
    if (byte == '$') {
        ++m_dollars;
        return terminated();
    }
    flushPending();
    writeBytes(&byte, 1);
    return false;
}

void UploadWriter::flushPending() {
    if (m_dollars <= 0 || terminated()) return;
    static constexpr std::uint8_t kDollars[3] = {'$', '$', '$'};
    writeBytes(kDollars, static_cast<std::size_t>(m_dollars));
    m_dollars = 0;
}

bool UploadWriter::finish() {
    if (!m_file) return false;
    std::string trailer(kTrailerDollars, '$');
    trailer += "****";
    if (std::fwrite(trailer.data(), 1, trailer.size(), m_file) != trailer.size()) m_writeFailed = true;
    if (std::fclose(m_file) != 0) m_writeFailed = true;
    m_file = nullptr;
    return !m_writeFailed;
}

}  // namespace kestro::console
