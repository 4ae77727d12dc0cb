#pragma once
// A console object whose threads run on virtual time against an in-memory console.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "console/my_protocl.h"
#include "temp_host.h"
#include "virtual_line.h"

namespace kestro::test {

// What the in-memory console does with downloads: it answers a header and every block
// whose checksum matches with ACK (NAK otherwise), and 0x04 after the block holding the
// end marker. It keeps the blocks it accepted.
struct DownloadConsole {
    std::mutex mutex;
    std::vector<Bytes> headers;
    std::vector<Bytes> blocks;  // accepted blocks, checksum included
    int nakBlock = 0;           // refuse the valid block of this number (from 1) once
    bool silent = false;

    static bool isHeader(const Bytes& b) { return b.size() == 4 && b[0] == 0xFF && b[2] == 0xFF && b[1] == b[3]; }
    static bool hasMarker(const Bytes& b) {
        for (std::size_t i = 0; i + 5 <= b.size(); i += 4)
            if (b[i] == 0xFF && b[i + 1] == 0x08 && b[i + 2] == 0xFF && b[i + 3] == 0x08) return true;
        return false;
    }

    Bytes answer(const Bytes& written) {
        std::lock_guard<std::mutex> lock(mutex);
        if (isHeader(written)) {
            headers.push_back(written);
            return silent ? Bytes{} : Bytes{0x06};
        }
        if (silent || written.empty()) return {};
        unsigned sum = 0;
        for (std::size_t i = 0; i + 1 < written.size(); ++i) sum += written[i];
        if ((sum & 0xFF) != written.back()) return {0x15};
        if (nakBlock == static_cast<int>(blocks.size()) + 1) {
            nakBlock = 0;
            return {0x15};
        }
        blocks.push_back(written);
        if (hasMarker(written)) return {0x06, 0x04};
        return {0x06};
    }

    // The file as the console rebuilt it from the accepted blocks.
    std::string fileData() {
        std::lock_guard<std::mutex> lock(mutex);
        std::string data;
        for (const Bytes& b : blocks) {
            for (std::size_t i = 0; i + 1 < b.size(); i += 4) {
                const std::size_t n = std::min<std::size_t>(4, b.size() - 1 - i);
                if (n == 4 && b[i] == 0xFF && b[i + 1] == 0x08 && b[i + 2] == 0xFF && b[i + 3] == 0x08)
                    data += "****";
                else
                    data.append(b.begin() + static_cast<long>(i), b.begin() + static_cast<long>(i + n));
            }
        }
        return data;
    }
};

class ConsoleLink : public ::testing::Test {
protected:
    void SetUp() override {
        host.standardLayout();
        console = new CMyProtocl;
        console->useLine(peer, clock);
        console->setMsghWnd(notices.window());
        ASSERT_EQ(console->Init(), 1);
    }
    void TearDown() override {
        if (console) console->Terminate();
    }

    void answerDownloads() {
        peer.setResponder([this](const Bytes& written) { return downloads.answer(written); });
    }
    std::string makeFile(const std::string& name, const std::string& content) {
        const auto path = host.dir() / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }
    // Waits (real time) until the write thread has served every request.
    bool waitServed(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        return waitUntil([this] { return !console->requestPending(); }, timeout);
    }
    // Lets the link idle for a span of virtual time.
    void idleFor(long long ms) {
        const long long until = clock.nowMs() + ms;
        ASSERT_TRUE(waitUntil([&] { return clock.nowMs() >= until; }, std::chrono::seconds(10)));
    }
    std::vector<Bytes> writes() const {
        std::vector<Bytes> all;
        for (const Written& w : peer.written()) all.push_back(w.bytes);
        return all;
    }
    std::string traceText() const {
        std::string all;
        if (!std::filesystem::exists(host.dir() / "Trace")) return all;
        for (const auto& entry : std::filesystem::directory_iterator(host.dir() / "Trace"))
            all += TempHost::readFile(entry.path());
        return all;
    }

    TempHost host;
    VirtualClock clock;
    ConsolePeer peer{clock};
    NoticeCollector notices;
    DownloadConsole downloads;
    CMyProtocl* console = nullptr;
};

}  // namespace kestro::test
