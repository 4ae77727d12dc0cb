#pragma once
// Test scaffolding for the message parser: an in-memory transport, a link object that
// uses it, frame builders, and readers for the trace file and the host notifications.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <unistd.h>

#include "link/comm_protocol.h"
#include "platform/platform.h"
#include "platform/posix/message_window_posix.h"

namespace kestro::test {

using Bytes = std::vector<std::uint8_t>;

// A byte queue standing in for the port. By default a wait on an empty queue closes the
// transport, so a parser that wants more bytes than were fed gives up instead of
// waiting; with blocking waits it waits up to the timeout for feed().
class FakeTransport : public ByteTransport {
public:
    explicit FakeTransport(bool blockingWaits = false) : m_blocking(blockingWaits) {}

    void feed(const Bytes& bytes) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_input.insert(m_input.end(), bytes.begin(), bytes.end());
            m_open = true;
        }
        m_inputChanged.notify_all();
    }
    Bytes written() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_written;
    }
    std::size_t queued() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_input.size();
    }
    // Waits until a reader has waited on an empty queue at least `count` times.
    bool awaitEmptyWaits(int count, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_waited.wait_for(lock, limit, [&] { return m_emptyWaits >= count; });
    }

    bool isOpen() const override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_open;
    }
    int write(const std::uint8_t* data, int count) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_written.insert(m_written.end(), data, data + count);
        return count;
    }
    int bytesInQueue() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_open ? static_cast<int>(m_input.size()) : 0;
    }
    int read(std::uint8_t* buffer, int count) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        int n = 0;
        while (n < count && !m_input.empty()) {
            buffer[n++] = m_input.front();
            m_input.pop_front();
        }
        return n;
    }
    bool waitForInput(int timeoutMs) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_input.empty()) {
            ++m_emptyWaits;
            m_waited.notify_all();
            if (!m_blocking) {
                m_open = false;
                return false;
            }
        }
        m_inputChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !m_input.empty(); });
        return !m_input.empty();
    }
    void cancelWait() override {}

private:
    const bool m_blocking;
    mutable std::mutex m_mutex;
    std::condition_variable m_inputChanged;
    std::condition_variable m_waited;
    std::deque<std::uint8_t> m_input;
    Bytes m_written;
    bool m_open = true;
    int m_emptyWaits = 0;
};

// A link over any ByteTransport: the link operations themselves are not under test here.
class TestLink : public CCommProtocol {
public:
    explicit TestLink(ByteTransport* transport) { finishConstruction(transport, &run); }
    ~TestLink() override { beginDestruction(); }

    std::atomic<int> run{0};

    int InitComm() override { return 0; }
    int InitComm(UINT, UINT, UINT, UINT, UINT, UINT) override { return 0; }
    int CloseComm() override { return 0; }
    int InitGen() override { return 0; }
    int ResetGen() override { return 0; }
    int SendCpuUnrestrictedCommand(char*, int) override { return 0; }
    int SendApplyAPRCommand(APRDataInfo&) override { return 0; }
    int ApplyAPRDirectly(APRSourceData&) override { return 0; }
    void AfterSelectReceptor() override {}
    int GetCpuCommandData_B(char*, int, int) override { return 0; }
    int GetCpuMultiCommandData(int) override { return 0; }
    int GetCpuCommandData(char*, int, int) override { return 0; }
    int ProcessCpuDataBag(unsigned char*, int, int, int) override { return 0; }
    void UpdateDataBag(int, int) override {}
    unsigned char GetByteFromInt(int value, int digit) override { return byteFromInt(value, digit); }
    void PostErrorMessage(bool, int) override {}
    int resumeWriteThread() override { return 0; }
    int resumeReadThread() override { return 0; }
    int SuspendWorkThread() override { return 0; }
    void TerminateThreads() override {}
};

inline std::uint8_t sum8(const Bytes& bytes) {
    unsigned sum = 0;
    for (std::uint8_t b : bytes) sum += b;
    return static_cast<std::uint8_t>(sum & 0xFF);
}

// An ASCII message: the text, ETX and the checksum.
inline Bytes message(std::string_view text) {
    Bytes bytes(text.begin(), text.end());
    bytes.push_back(0x03);
    bytes.push_back(sum8(bytes));
    return bytes;
}

// A data-bag reply frame: 0x01, type, big-endian length, payload, checksum.
inline Bytes reply(std::uint8_t type, const Bytes& payload) {
    Bytes bytes = {0x01, type, static_cast<std::uint8_t>(payload.size() >> 8),
                   static_cast<std::uint8_t>(payload.size() & 0xFF)};
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    bytes.push_back(sum8(bytes));
    return bytes;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// The host directory of the test process: the path index, a trace directory and an
// error-message file (its entry for number 220 is key 100, for 64 key 64).
inline void prepareHostDirectory() {
    static const bool ready = [] {
        namespace fs = std::filesystem;
        fs::path host = fs::temp_directory_path() / ("kestro_parser_tests_" + std::to_string(::getpid()));
        fs::create_directories(host / "Gen" / "INI");
        std::ofstream(host / "Gen" / "INI" / "Path.ini") << "[INI Path]\nPathIniPath=\\Gen\\INI\\PathConfig.ini\n";
        std::ofstream(host / "Gen" / "INI" / "PathConfig.ini")
            << "[LocalPath]\nTracePath=\\Trace\\\n[ErrorCodePath]\nPCInfoPath=\\Gen\\INI\\Errors.ini\n";
        std::ofstream errors(host / "Gen" / "INI" / "Errors.ini");
        errors << "[Error Messages]\n0=110\n";
        for (int k = 1; k <= 110; ++k) {
            errors << k << "=";
            if (k == 64)
                errors << "Generator warning sixty-four\n";
            else if (k == 100)
                errors << "Ready light pending\n";
            else
                errors << "Error entry " << k << "\n";
        }
        ::setenv("KESTRO_HOST_DIR", host.c_str(), 1);
        static const std::string created = host.string();
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(created, ec);
        });
        return true;
    }();
    (void)ready;
}

struct Note {
    std::uintptr_t w;
    std::intptr_t l;
    bool operator==(const Note&) const = default;
};

inline void PrintTo(const Note& n, std::ostream* os) { *os << "(" << n.w << ", " << n.l << ")"; }

class ParserTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { prepareHostDirectory(); }

    void SetUp() override {
        port = std::make_unique<FakeTransport>();
        link = std::make_unique<TestLink>(port.get());
        window = platform::createMessageWindow();
        link->setMsghWnd(window);
        traceFile = platform::nativePath(link->m_strTraceFileName);
        traceStart = traceSize();
    }
    void TearDown() override {
        link.reset();
        platform::destroyMessageWindow(window);
    }

    // Feeds the bytes and lets the parser take units until they are used up.
    void process(const Bytes& bytes) {
        port->feed(bytes);
        for (int guard = 0; port->queued() > 0 && guard < 100000; ++guard) link->ReceiveAndProcess();
    }

    std::vector<int> setFlags() const {
        std::vector<int> kinds;
        for (int k = 0; k < CCommProtocol::kReplyFlagCount; ++k)
            if (link->m_ReplyFlags[static_cast<std::size_t>(k)] != 0) kinds.push_back(k);
        return kinds;
    }
    void clearFlags() {
        for (auto& flag : link->m_ReplyFlags) flag = 0;
    }

    std::vector<Note> notes() {
        std::vector<Note> got;
        KestroMessage m{};
        while (platform::getMessage(window, &m, 0) == 1) {
            EXPECT_EQ(m.message, static_cast<std::uint32_t>(WM_GEN_NOTIFY));
            got.push_back({m.wParam, m.lParam});
        }
        return got;
    }

    // Trace lines written since the test began (without their time stamps).
    std::vector<std::string> traceLines() const {
        std::ifstream in(traceFile, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(traceStart));
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::string> lines;
        std::size_t pos = 0;
        while (pos < all.size()) {
            std::size_t end = all.find("\r\n", pos);
            if (end == std::string::npos) end = all.size();
            std::string line = all.substr(pos, end - pos);
            lines.push_back(line.size() >= 26 ? line.substr(26) : line);
            pos = end + 2;
        }
        return lines;
    }

    std::size_t traceSize() const {
        std::error_code ec;
        auto size = std::filesystem::file_size(traceFile, ec);
        return ec ? 0 : static_cast<std::size_t>(size);
    }

    std::unique_ptr<FakeTransport> port;
    std::unique_ptr<TestLink> link;
    HWND window = nullptr;
    std::string traceFile;
    std::size_t traceStart = 0;
};

}  // namespace kestro::test
