#pragma once
// A loaded library whose serial link talks to a ScriptedTransport; a helper thread runs
// the link's parser the way the reader thread would, and a message window collects the
// notifications.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include <kestro/kestro.h>

#include "api/app.h"
#include "data/step_tables.h"
#include "scripted_transport.h"
#include "temp_host.h"

namespace kestro::test {

class OperatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        host.standardLayout("", "[Communication]\r\nCommunication Type=1\r\n");
        ASSERT_EQ(theApp().InitInstance(), 1);
        link = g_pCommProtocol;
        ASSERT_NE(link, nullptr);
        data = link->m_pData;
        link->setTransport(&port);
        window = KestroCreateMessageWindow();
        IO_SetMsghWnd(window);
        steps::chooseMaTable(0);
        parser = std::thread([this] {
            while (!stopParser) link->ReceiveAndProcess();
        });
    }

    void TearDown() override {
        stopParser = true;
        port.close();
        if (parser.joinable()) parser.join();
        theApp().ExitInstance();
        if (window) KestroDestroyMessageWindow(window);
        steps::chooseMaTable(0);
    }

    // The generator answers `command` with `replies` and stays silent otherwise.
    void answer(const std::string& command, std::vector<std::string> replies) {
        port.setScript([command, replies](const std::string& text) {
            return text == command ? replies : std::vector<std::string>{};
        });
    }
    void silence() {
        port.setScript([](const std::string&) { return std::vector<std::string>{}; });
    }

    // Notifications posted so far, as (wParam, lParam), oldest first.
    std::vector<std::pair<std::uintptr_t, std::intptr_t>> notifications() {
        std::vector<std::pair<std::uintptr_t, std::intptr_t>> out;
        KestroMessage message{};
        while (KestroGetMessage(window, &message, 0) == 1) out.emplace_back(message.wParam, message.lParam);
        return out;
    }

    TempHost host;
    ScriptedTransport port;
    CCommProtocol* link = nullptr;
    GeneratorData* data = nullptr;
    HWND window = nullptr;
    std::atomic<bool> stopParser{false};
    std::thread parser;
};

}  // namespace kestro::test
