#pragma once
// A session of the library against kestro-sim: a private host directory with the
// settings files, a simulator on a pseudo-terminal, the serial link built by the
// library's factory, and a message window for the notifications.
//
// The same scenarios run over CAN when KESTRO_IT_TRANSPORT is "can": the settings then
// choose the CAN link, and the simulator is reached through its socketcand face on
// 127.0.0.1 (ctest runs the suite both ways).

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <kestro/kestro.h>

#include "kestro_sim/can_face.h"
#include "kestro_sim/simulator.h"
#include "link/comm_protocol.h"

namespace kestro::itest {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;

// Polls pred until it holds or the timeout passes; the final look decides.
template <typename Pred>
bool waitUntil(Pred pred, Ms timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(2ms);
    }
    return pred();
}

struct Notice {
    std::uintptr_t wParam;
    std::intptr_t lParam;
    std::chrono::steady_clock::time_point time;
    bool operator==(const std::pair<std::uintptr_t, std::intptr_t>& code) const {
        return wParam == code.first && lParam == code.second;
    }
};

class Session : public ::testing::Test {
protected:
    static constexpr int kComPort = 7;
    // true when this run of the suite goes over CAN.
    static bool overCan();

    void SetUp() override;
    void TearDown() override;

    // Starts the simulator and builds the link (called by SetUp).
    void startSimulator(sim::SimulatorOptions options);
    // IO_InitGenerator with the session's window.
    int initGenerator();

    // Every WM_GEN_NOTIFY taken from the window so far, after waiting up to timeout
    // for (wParam, lParam) to appear after position `from`. Returns its position or -1.
    int waitNotice(std::uintptr_t wParam, std::intptr_t lParam, Ms timeout, std::size_t from = 0);
    const std::vector<Notice>& notices() const { return m_notices; }
    std::vector<std::pair<std::uintptr_t, std::intptr_t>> noticeCodes(std::size_t from = 0) const;

    // The trace written so far (every trace file of the host directory).
    std::string traceText() const;
    std::size_t traceCount(const std::string& text) const;
    bool waitTrace(const std::string& text, Ms timeout, std::size_t count = 1) const;

    // Waits until the worker has polled the generator once ("HE?" on the wire).
    bool waitWorkerRunning(Ms timeout = 9000ms);

    std::filesystem::path m_host;
    sim::Simulator* m_sim = nullptr;  // the generator, on either transport
    std::unique_ptr<sim::Simulator> m_serialSim;
    std::unique_ptr<sim::CanFace> m_canFace;
    CCommProtocol* m_link = nullptr;
    HWND m_window = nullptr;

private:
    void drainWindow(int timeoutMs);
    std::vector<Notice> m_notices;
};

}  // namespace kestro::itest
