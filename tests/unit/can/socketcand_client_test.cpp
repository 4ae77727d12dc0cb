// The socketcand backend against scripted servers on 127.0.0.1: the raw-mode handshake,
// frames in and out as text, and servers that close, babble or never answer.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "link/can_protocol.h"
#include "parser_fixture.h"
#include "transport/can_socketcand.h"

namespace kestro::test {
namespace {

using namespace std::chrono_literals;

// One connection, served by a script on its own thread.
class ScriptedServer {
public:
    using Script = std::function<void(ScriptedServer&)>;

    explicit ScriptedServer(Script script) {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener, 1);
        socklen_t len = sizeof a;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        worker = std::thread([this, script = std::move(script)] {
            pollfd p{listener, POLLIN, 0};
            if (::poll(&p, 1, 5000) != 1) return;
            fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) script(*this);
        });
    }
    ~ScriptedServer() {
        finished = true;
        if (worker.joinable()) worker.join();
        if (fd >= 0) ::close(fd);
        ::close(listener);
    }

    void send(const std::string& text) { ::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }
    // Reads until text has arrived (or 3 s passed); true when it did.
    bool expect(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + 3s;
        while (received.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) == 1) {
                char buffer[1024];
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) return false;
                received.append(buffer, static_cast<std::size_t>(n));
            }
        }
        return received.find(text) != std::string::npos;
    }
    void hold() {
        while (!finished) std::this_thread::sleep_for(5ms);
    }
    void handshake() {
        send("< hi >");
        if (expect("< open can0 >")) send("< ok >");
        if (expect("< rawmode >")) send("< ok >");
    }
    void closeNow() {
        ::shutdown(fd, SHUT_RDWR);
    }

    int port = 0;
    int fd = -1;
    std::string received;
    std::atomic<bool> finished{false};

private:
    int listener = -1;
    std::thread worker;
};

TEST(SocketCandFrames, ParsingAndFormatting) {
    const auto f = parseSocketCandFrame("frame 008 1712345678.123456 4B56303830033C00");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->id, 8u);
    EXPECT_EQ(f->length, 8);
    EXPECT_EQ(Bytes(f->data, f->data + 8), (Bytes{0x4B, 0x56, 0x30, 0x38, 0x30, 0x03, 0x3C, 0x00}));
    const auto separate = parseSocketCandFrame("frame 8 0.5 4b 56 3");
    ASSERT_TRUE(separate);
    EXPECT_EQ(separate->length, 3);
    EXPECT_EQ(separate->data[2], 0x03);
    const auto empty = parseSocketCandFrame("frame 123 1.000001");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->length, 0);

    for (const char* bad : {"frame", "frame 008", "frame zz 1.0 00", "frame 008 now 00", "frame 008 1.0 4B5",
                            "frame 008 1.0 4B5630383003 3C00", "frame 008 1.0 001122334455667788",
                            "frame 008 1.0 00 11 22 33 44 55 66 77 88", "frome 008 1.0 00"}) {
        EXPECT_FALSE(parseSocketCandFrame(bad)) << bad;
    }

    CanFrame out;
    out.id = 0x550;
    out.length = 5;
    const std::uint8_t kv[] = {0x4B, 0x56, 0x3F, 0x03, 0xE3};
    std::memcpy(out.data, kv, 5);
    EXPECT_EQ(formatSocketCandSend(out), "< send 550 5 4B 56 3F 03 E3 >");
}

TEST(SocketCandClient, RawModeSessionCarriesFramesBothWays) {
    ScriptedServer server([](ScriptedServer& s) {
        s.handshake();
        if (!s.expect("< send 550 8 4B 56 30 38 30 03 3C 00 >< send 550 1 01 >")) return;
        // A frame of another identifier, junk, malformed frames, a frame split across
        // two writes, and one whole frame.
        s.send("< frame 009 1.000000 0102 >garbage< frame 008 1.0 4B5 >< frame 008 x 00 >< frame 0");
        std::this_thread::sleep_for(20ms);
        s.send("08 2.000000 4B56303830033C00 >< ok >< frame 008 3.000000 AA >");
        s.hold();
    });
    SocketCandMedia media("127.0.0.1", server.port, "can0");
    std::string error;
    ASSERT_TRUE(media.open(&error)) << error;
    media.setAcceptance(8, 8);
    std::string warning;
    ASSERT_TRUE(media.activate(500000, &error, &warning));

    CanFrame frames[2];
    frames[0].id = frames[1].id = 0x550;
    frames[0].length = 8;
    const std::uint8_t kv[] = {0x4B, 0x56, 0x30, 0x38, 0x30, 0x03, 0x3C, 0x00};
    std::memcpy(frames[0].data, kv, 8);
    frames[1].length = 1;
    frames[1].data[0] = 0x01;
    ASSERT_TRUE(media.transmit(frames, 2));

    std::vector<CanFrame> got;
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (got.size() < 2 && std::chrono::steady_clock::now() < deadline) {
        CanFrame f;
        if (media.receive(&f, 10)) got.push_back(f);
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].id, 8u);
    EXPECT_EQ(Bytes(got[0].data, got[0].data + 8), Bytes(kv, kv + 8));
    EXPECT_EQ(got[1].length, 1);
    EXPECT_EQ(got[1].data[0], 0xAA);
    EXPECT_EQ(media.malformedCount(), 3u);  // "garbage" and the two bad frames
}

TEST(SocketCandClient, ServersThatFailTheHandshakeFailTheOpenInBoundedTime) {
    struct Case {
        const char* what;
        ScriptedServer::Script script;
    };
    const Case cases[] = {
        {"closes at once", [](ScriptedServer& s) { s.closeNow(); }},
        {"answers garbage", [](ScriptedServer& s) { s.send("HTTP/1.1 400 Bad Request\r\n\r\n"); s.hold(); }},
        {"never answers ok",
         [](ScriptedServer& s) {
             s.send("< hi >");
             s.hold();
         }},
        {"refuses the bus",
         [](ScriptedServer& s) {
             s.send("< hi >");
             if (s.expect("< open can0 >")) s.send("< error could not open bus >");
             s.hold();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server(c.script);
        SocketCandMedia media("127.0.0.1", server.port, "can0");
        std::string error;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_FALSE(media.open(&error));
        EXPECT_LT(std::chrono::steady_clock::now() - started,
                  std::chrono::milliseconds(SocketCandMedia::kAnswerTimeoutMs + 1000));
        EXPECT_NE(error.find("127.0.0.1"), std::string::npos) << error;
        server.finished = true;
    }
}

TEST(SocketCandClient, LostServerFailsSendsWithTheTraceLineAndReceivesWithoutSpinning) {
    prepareHostDirectory();
    ScriptedServer server([](ScriptedServer& s) {
        s.handshake();
        if (s.expect("< send 550 5 4B 56 3F 03 E3 >")) s.closeNow();
        s.hold();
    });
    ::setenv("KESTRO_CAN", ("socketcand:127.0.0.1:" + std::to_string(server.port) + ":can0").c_str(), 1);
    CCanProtocol link;
    const int opened = link.InitComm();  // the bus is chosen when it is opened
    ::unsetenv("KESTRO_CAN");
    ASSERT_EQ(opened, 1);
    link.m_nGenState = 2;
    EXPECT_EQ(link.SendCommand("KV?", 3, 0), 5);

    // The server hangs up: receives come back empty after their wait, sends fail.
    unsigned char frame[8];
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < deadline && link.ReceiveEightBytes(frame) == 0 &&
           link.SendCommand("ST", 2, 7) != 0) {
    }
    EXPECT_EQ(link.SendCommand("ST", 2, 7), 0);
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(link.ReceiveEightBytes(frame), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 5 * 9ms);

    std::ifstream in(link.m_strTraceFileName, std::ios::binary);
    const std::string trace((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(trace.find("Sent CAN Failed :  S T \x03 \xAA "), std::string::npos);
    server.finished = true;
}

}  // namespace
}  // namespace kestro::test
