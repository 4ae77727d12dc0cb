// The console link against kestro-sim's console over a real pseudo-terminal, through the
// C interface, on the wall clock.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <kestro/kestro.h>

#include "api/app.h"
#include "kestro_sim/console_sim.h"

namespace kestro::itest {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Notice = std::pair<std::uintptr_t, std::intptr_t>;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class ConsoleSession : public ::testing::Test {
protected:
    static constexpr int kComPort = 8;

    void SetUp() override {
        char pattern[] = "/tmp/kestro-console-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        host = pattern;
        write("Gen/INI/Path.ini",
              "[INI Path]\r\nFunctionConfigPath=\\Gen\\INI\\Function.ini\r\n"
              "LocalConfigPath=\\Gen\\INI\\LocalComm.ini\r\nPathIniPath=\\Gen\\INI\\PathConfig.ini\r\n");
        write("Gen/INI/Function.ini", "[Function]\r\nDemo Enable=0\r\n");
        write("Gen/INI/LocalComm.ini", "[Communication]\r\nCommunication Type=1\r\n[Serial comm]\r\ncom=" +
                                           std::to_string(kComPort) + "\r\nbaud=19200\r\n");
        write("Gen/INI/PathConfig.ini", "[LocalPath]\r\nTracePath=\\Trace\\\r\n");
        ::setenv("KESTRO_HOST_DIR", host.c_str(), 1);

        sim::ConsoleOptions options;
        options.linkPath = (host / "ttyCONSOLE").string();
        console = std::make_unique<sim::ConsoleSimulator>(options);
        std::string error;
        ASSERT_TRUE(console->start(&error)) << error;
        ::setenv(("KESTRO_COM" + std::to_string(kComPort)).c_str(), options.linkPath.c_str(), 1);

        ASSERT_EQ(theApp().InitInstance(), 1);
        window = KestroCreateMessageWindow();
        ASSERT_EQ(GSIInitConsole(window), 1);
        started = std::chrono::steady_clock::now();
    }

    void TearDown() override {
        theApp().ExitInstance();
        console->stop();
        KestroDestroyMessageWindow(window);
        std::error_code ignored;
        std::filesystem::remove_all(host, ignored);
    }

    void write(const std::string& relative, const std::string& text) {
        const auto path = host / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    std::string file(const std::string& name, const std::string& content) {
        write(name, content);
        return (host / name).string();
    }

    // Takes notifications from the window until notice arrives (true) or timeout passes.
    bool waitNotice(Notice notice, std::chrono::milliseconds timeout = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            for (std::size_t i = scanned; i < notices.size(); ++i)
                if (notices[i] == notice) {
                    scanned = i + 1;
                    return true;
                }
            scanned = notices.size();
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            KestroMessage message{};
            if (KestroGetMessage(window, &message, static_cast<int>(left.count())) == 1 &&
                message.message == WM_CONSOLE_NOTIFY)
                notices.emplace_back(message.wParam, message.lParam);
        }
    }
    std::vector<Notice> takeNotices() {
        std::vector<Notice> out;
        out.swap(notices);
        scanned = 0;
        return out;
    }
    bool waitServed(std::chrono::milliseconds timeout = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            CMyProtocl* c = g_pConsole;
            if (c && !c->requestPending()) return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    std::string downloadedText(std::size_t index) const {
        const auto all = console->downloads();
        if (index >= all.size()) return "<no download " + std::to_string(index) + ">";
        return std::string(all[index].data.begin(), all[index].data.end());
    }

    std::filesystem::path host;
    std::unique_ptr<sim::ConsoleSimulator> console;
    HWND window = nullptr;
    std::chrono::steady_clock::time_point started;
    std::vector<Notice> notices;
    std::size_t scanned = 0;
};

TEST_F(ConsoleSession, DownloadsInBlocksAndTheParameterFrame) {
    GSIConsoleUpDownload(file("abcd.apr", "ABCD****").c_str(), 0, 1);
    ASSERT_TRUE(waitNotice({8, 8}));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 2900ms);  // the start delay
    auto blocks = console->blocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].bytes, (Bytes{0x41, 0x42, 0x43, 0x44, 0xFF, 0x08, 0xFF, 0x08, 0x18}));
    EXPECT_EQ(takeNotices(), (std::vector<Notice>{{8, 512}, {8, 1024}, {8, 8}}));

    std::string content;
    for (int i = 0; i < 1024; ++i) content.push_back(static_cast<char>((i * 13 + 5) % 251));
    content += "****";
    console->clearLog();
    GSIConsoleUpDownload(file("k1024.apr", content).c_str(), 0, 7);
    ASSERT_TRUE(waitNotice({1028, 1028}));
    blocks = console->blocks();
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].bytes.size(), 513u);
    EXPECT_EQ(blocks[1].bytes.size(), 513u);
    EXPECT_EQ(blocks[2].bytes.size(), 5u);
    for (const auto& b : blocks) EXPECT_TRUE(b.checksumOk);
    ASSERT_EQ(console->downloads().size(), 1u);
    EXPECT_EQ(console->downloads()[0].headerCode, 13);
    EXPECT_EQ(downloadedText(0), content);

    ASSERT_TRUE(waitServed());
    GSIConsoleUpDownload("", 3, 9);
    ASSERT_TRUE(console->waitFor([](const sim::ConsoleSimulator& s) { return !s.parameterFrames().empty(); }, 5s));
    EXPECT_EQ(console->parameterFrames()[0],
              (Bytes{0xFF, 0x0B, 0xFF, 0x0B, 0x03, 0xFF, 0x08, 0xFF, 0x08, 0x11, 0x00, 0x00, 0x00}));
    EXPECT_EQ(console->garbageBytes(), 0u);
}

TEST_F(ConsoleSession, RefusedBlockAndLostAnswerAreSentAgain) {
    std::string content(1200, 'r');
    content += "****";
    console->setFault(sim::ConsoleFault::NakOnce);
    GSIConsoleUpDownload(file("nak.apr", content).c_str(), 0, 2);
    ASSERT_TRUE(waitNotice({1204, 1204}));
    auto blocks = console->blocks();
    ASSERT_EQ(blocks.size(), 4u);  // the first block refused, then sent again
    EXPECT_FALSE(blocks[0].accepted);
    EXPECT_EQ(blocks[0].bytes, blocks[1].bytes);
    EXPECT_EQ(console->naks(), 1);
    EXPECT_EQ(downloadedText(0), content);
    ASSERT_TRUE(waitServed());

    console->clearLog();
    takeNotices();
    console->setFault(sim::ConsoleFault::DropAck);
    GSIConsoleUpDownload(file("drop.apr", content).c_str(), 0, 2);
    ASSERT_TRUE(waitNotice({1204, 1204}));
    blocks = console->blocks();
    ASSERT_EQ(blocks.size(), 4u);  // the first block's answer was lost: it came again
    EXPECT_TRUE(blocks[1].resend);
    EXPECT_EQ(downloadedText(0), content);
}

TEST_F(ConsoleSession, SilentConsoleIsGivenUpAfterFiveRetries) {
    console->setFault(sim::ConsoleFault::Silence);
    GSIConsoleUpDownload(file("silent.apr", "ABCD****").c_str(), 0, 1);
    ASSERT_TRUE(console->waitFor([](const sim::ConsoleSimulator& s) { return !s.headers().empty(); }, 10s));
    const auto first = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitNotice({1, 3}, 20s));
    const auto took = std::chrono::steady_clock::now() - first;
    EXPECT_GE(took, 9500ms);
    EXPECT_LE(took, 12000ms);
    EXPECT_EQ(console->headers(), (std::vector<int>{1, 1, 1, 1, 1}));
    EXPECT_TRUE(console->blocks().empty());
    EXPECT_TRUE(waitServed(1s));
}

TEST_F(ConsoleSession, BothUploadsThenAStartThatNeverComesAndAStall) {
    const std::string dir = host.string() + "/";
    const std::string trailer = std::string(64, '$') + "****";
    // The structure file goes out as x $ $ y $ $ $ $: the short run is data.
    console->setUploadFiles({'x', '$', '$', 'y'}, console->uploadFile(17));
    GSIConsoleUpDownload(dir.c_str(), 0, 12);
    ASSERT_TRUE(waitNotice({2, 4}));
    GSIConsoleUpDownload(dir.c_str(), 0, 13);
    ASSERT_TRUE(waitNotice({2, 3}));
    EXPECT_EQ(takeNotices(), (std::vector<Notice>{{2, 1}, {2, 4}, {2, 2}, {2, 3}}));
    const Bytes sentData = console->uploadFile(17);
    EXPECT_EQ(readFile(host / "AprStruct.bin"), "x$$y" + trailer);
    EXPECT_EQ(readFile(host / "AprData.bin"), std::string(sentData.begin(), sentData.end()) + trailer);

    console->setFault(sim::ConsoleFault::Silence);
    const auto asked = std::chrono::steady_clock::now();
    GSIConsoleUpDownload(dir.c_str(), 0, 13);
    ASSERT_TRUE(waitNotice({2, 5}, 10s));
    EXPECT_LE(std::chrono::steady_clock::now() - asked, 3000ms);
    EXPECT_EQ(takeNotices(), (std::vector<Notice>{{2, 5}}));

    console->setFault(sim::ConsoleFault::UploadStall);
    GSIConsoleUpDownload(dir.c_str(), 0, 12);
    ASSERT_TRUE(waitNotice({2, 5}, 15s));
    EXPECT_EQ(takeNotices(), (std::vector<Notice>{{2, 1}, {2, 5}}));
    // Half of it ("x$") arrived: the dollar sign it stopped after is kept.
    EXPECT_EQ(readFile(host / "AprStruct.bin"), "x$" + trailer);
    EXPECT_EQ(g_pConsole.load()->operationCode(), 0);
}

TEST_F(ConsoleSession, CloseAndReopen) {
    EXPECT_EQ(GSICloseConsoleCommunication(), 1);
    ASSERT_NE(g_pConsole.load(), nullptr);
    EXPECT_FALSE(g_pConsole.load()->threadsStarted());
    ASSERT_EQ(GSIInitConsole(window), 1);
    GSIConsoleUpDownload(file("again.apr", "WXYZ****").c_str(), 0, 1);
    ASSERT_TRUE(waitNotice({8, 8}));
    ASSERT_EQ(console->blocks().size(), 1u);
    EXPECT_EQ(console->blocks()[0].bytes.back(), 0x70);
}

}  // namespace
}  // namespace kestro::itest
