// kestro-sim's console, played against by hand on its pseudo-terminal: bytes are framed
// and read here with the test's own code.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "kestro_sim/console_sim.h"

namespace kestro::sim::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

class ConsoleLine : public ::testing::Test {
protected:
    void SetUp() override {
        ConsoleOptions options;
        options.blockGap = 100ms;
        options.uploadDelay = 10ms;
        sim = std::make_unique<ConsoleSimulator>(options);
        std::string error;
        ASSERT_TRUE(sim->start(&error)) << error;
        fd = ::open(sim->portPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        termios tio{};
        ASSERT_EQ(::tcgetattr(fd, &tio), 0);
        ::cfmakeraw(&tio);
        ASSERT_EQ(::tcsetattr(fd, TCSANOW, &tio), 0);
    }
    void TearDown() override {
        if (fd >= 0) ::close(fd);
        sim->stop();
    }

    void send(const Bytes& bytes) { ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
    // Everything that arrives until the line has been quiet for quiet.
    Bytes receive(std::chrono::milliseconds quiet = 400ms) {
        Bytes got;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) return got;
            std::uint8_t buf[4096];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) return got;
            got.insert(got.end(), buf, buf + n);
        }
    }
    static Bytes block(const Bytes& data) {
        Bytes b = data;
        unsigned sum = 0;
        for (std::uint8_t x : data) sum += x;
        b.push_back(static_cast<std::uint8_t>(sum));
        return b;
    }

    std::unique_ptr<ConsoleSimulator> sim;
    int fd = -1;
};

TEST_F(ConsoleLine, DownloadIsAnsweredAndRebuilt) {
    send({0xFF, 0x01, 0xFF, 0x01});
    EXPECT_EQ(receive(), (Bytes{0x06}));
    Bytes full(512);
    for (std::size_t i = 0; i < full.size(); ++i) full[i] = static_cast<std::uint8_t>(i * 5);
    send(block(full));
    EXPECT_EQ(receive(), (Bytes{0x06}));
    Bytes bad = block({'A', 'B', 'C', 'D', 0xFF, 0x08, 0xFF, 0x08});
    bad.back() ^= 0x01;
    send(bad);
    EXPECT_EQ(receive(), (Bytes{0x15}));
    send(block({'A', 'B', 'C', 'D', 0xFF, 0x08, 0xFF, 0x08}));
    EXPECT_EQ(receive(), (Bytes{0x06, 0x04}));

    const auto downloads = sim->downloads();
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_TRUE(downloads[0].complete);
    Bytes expected = full;
    expected.insert(expected.end(), {'A', 'B', 'C', 'D', '*', '*', '*', '*'});
    EXPECT_EQ(downloads[0].data, expected);
    const auto blocks = sim->blocks();
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_FALSE(blocks[1].checksumOk);
    EXPECT_FALSE(blocks[1].accepted);
    EXPECT_TRUE(blocks[2].final);
}

TEST_F(ConsoleLine, ShortLastBlockEndsAfterTheQuietGapAndHeadersComeAgain) {
    send({0xFF, 0x0D, 0xFF, 0x0D});
    EXPECT_EQ(receive(), (Bytes{0x06}));
    send({0xFF, 0x0D, 0xFF, 0x0D});  // the same header again: still the same download
    EXPECT_EQ(receive(), (Bytes{0x06}));
    send(block({'x', 'y', 'z'}));
    EXPECT_EQ(receive(), (Bytes{0x06}));  // no end byte without the marker
    ASSERT_EQ(sim->downloads().size(), 1u);
    EXPECT_EQ(sim->downloads()[0].data, (Bytes{'x', 'y', 'z'}));
    EXPECT_EQ(sim->headers(), (std::vector<int>{13, 13}));
}

TEST_F(ConsoleLine, FaultsOnBlocks) {
    sim->setFault(ConsoleFault::NakOnce);
    send({0xFF, 0x01, 0xFF, 0x01});
    EXPECT_EQ(receive(), (Bytes{0x06}));
    const Bytes b = block({'a', 'b', 'c', 'd', 0xFF, 0x08, 0xFF, 0x08});
    send(b);
    EXPECT_EQ(receive(), (Bytes{0x15}));  // a good block refused once
    send(b);
    EXPECT_EQ(receive(), (Bytes{0x06, 0x04}));

    sim->setFault(ConsoleFault::DropAck);
    send({0xFF, 0x02, 0xFF, 0x02});
    EXPECT_EQ(receive(), (Bytes{0x06}));
    Bytes full(512, 'q');
    send(block(full));
    EXPECT_EQ(receive(), Bytes{});  // its ACK is lost
    send(block(full));
    EXPECT_EQ(receive(), (Bytes{0x06}));  // taken as the same block again
    EXPECT_EQ(sim->downloads().back().data, full);

    sim->setFault(ConsoleFault::Silence);
    send({0xFF, 0x03, 0xFF, 0x03});
    EXPECT_EQ(receive(), Bytes{});
}

TEST_F(ConsoleLine, UploadsAndTheParameterFrame) {
    sim->setUploadFiles({'s', '$', 't'}, {'d', 'a', 't', 'a'});
    send({0xFF, 0x10, 0xFF, 0x10});
    EXPECT_EQ(receive(), (Bytes{0x03, 's', '$', 't', '$', '$', '$', '$'}));
    send({0xFF, 0x11, 0xFF, 0x11});
    EXPECT_EQ(receive(), (Bytes{0x02, 'd', 'a', 't', 'a', '$', '$', '$', '$'}));
    sim->setFault(ConsoleFault::UploadStall);
    send({0xFF, 0x11, 0xFF, 0x11});
    EXPECT_EQ(receive(), (Bytes{0x02, 'd', 'a'}));

    sim->setFault(ConsoleFault::None);
    send({0xFF, 0x0B, 0xFF, 0x0B, 0x03, 0xFF, 0x08, 0xFF, 0x08, 0x11, 0x00, 0x00, 0x00});
    EXPECT_EQ(receive(), (Bytes{0x06}));
    ASSERT_EQ(sim->parameterFrames().size(), 1u);
    EXPECT_EQ(sim->parameterFrames()[0].size(), 13u);
    EXPECT_EQ(sim->garbageBytes(), 0u);
}

}  // namespace
}  // namespace kestro::sim::test
