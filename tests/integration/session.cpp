#include "session.h"

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "api/app.h"

namespace kestro::itest {
namespace {

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::size_t countOf(const std::string& haystack, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++count;
    return count;
}

}  // namespace

void Session::SetUp() {
    char pattern[] = "/tmp/kestro-it-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_host = pattern;
    writeFile(m_host / "Gen/INI/Path.ini",
              "[INI Path]\r\n"
              "FunctionConfigPath=\\Gen\\INI\\Function.ini\r\n"
              "LocalConfigPath=\\Gen\\INI\\LocalComm.ini\r\n"
              "PathIniPath=\\Gen\\INI\\PathConfig.ini\r\n");
    writeFile(m_host / "Gen/INI/Function.ini",
              "[Function]\r\nDemo Enable=0\r\nComp Transfer=0\r\nTotal Trace=10\r\nTraceSTHECommandFlag=0\r\n");
    writeFile(m_host / "Gen/INI/LocalComm.ini",
              std::string("[Communication]\r\nCommunication Type=") + (overCan() ? "0" : "1") + "\r\n"
              "[Serial comm]\r\ncom=" + std::to_string(kComPort) +
                  "\r\nbaud=19200\r\nstopbit=1\r\nparity=none\r\ndatabit=8\r\n");
    writeFile(m_host / "Gen/INI/PathConfig.ini", "[LocalPath]\r\nTracePath=\\Trace\\\r\n");
    ::setenv("KESTRO_HOST_DIR", m_host.c_str(), 1);
    startSimulator({});
}

bool Session::overCan() {
    const char* transport = std::getenv("KESTRO_IT_TRANSPORT");
    return transport && std::string(transport) == "can";
}

void Session::startSimulator(sim::SimulatorOptions options) {
    std::string error;
    if (overCan()) {
        sim::CanFaceOptions can;
        if (const char* bus = std::getenv("KESTRO_IT_CAN_BUS"); bus && *bus) can.bus = bus;  // e.g. socketcan:vcan0
        m_canFace = std::make_unique<sim::CanFace>(options, can);
        ASSERT_TRUE(m_canFace->start(&error)) << error;
        m_sim = &m_canFace->simulator();
        ::setenv("KESTRO_CAN", m_canFace->libraryBusSpec().c_str(), 1);
    } else {
        options.linkPath = (m_host / "ttyGEN").string();
        m_serialSim = std::make_unique<sim::Simulator>(options);
        ASSERT_TRUE(m_serialSim->start(&error)) << error;
        m_sim = m_serialSim.get();
        ::setenv(("KESTRO_COM" + std::to_string(kComPort)).c_str(), options.linkPath.c_str(), 1);
    }

    ASSERT_EQ(CreateInstanceOfCommProtocol(), 1);
    m_link = g_pCommProtocol.load();
    if (overCan())
        ASSERT_NE(dynamic_cast<CCanProtocol*>(m_link), nullptr) << "settings must choose the CAN link";
    else
        ASSERT_NE(dynamic_cast<CCtlProtocol*>(m_link), nullptr) << "settings must choose the serial link";
    m_window = KestroCreateMessageWindow();
    ASSERT_NE(m_window, nullptr);
}

void Session::TearDown() {
    IO_DeleteRes();  // stops both link threads and destroys the link
    m_link = nullptr;
    if (m_canFace) m_canFace->stop();
    if (m_serialSim) m_serialSim->stop();
    if (m_window) KestroDestroyMessageWindow(m_window);
    if (HasFailure()) {
        std::cerr << "---- trace ----\n" << traceText() << "---- end of trace ----\n";
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_host, ignored);
}

int Session::initGenerator() { return IO_InitGenerator(m_window); }

void Session::drainWindow(int timeoutMs) {
    KestroMessage message{};
    while (KestroGetMessage(m_window, &message, timeoutMs) == 1) {
        if (message.message == WM_GEN_NOTIFY)
            m_notices.push_back({message.wParam, message.lParam, std::chrono::steady_clock::now()});
        timeoutMs = 0;
    }
}

int Session::waitNotice(std::uintptr_t wParam, std::intptr_t lParam, Ms timeout, std::size_t from) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (std::size_t i = from; i < m_notices.size(); ++i)
            if (m_notices[i].wParam == wParam && m_notices[i].lParam == lParam) return static_cast<int>(i);
        const auto left = std::chrono::duration_cast<Ms>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return -1;
        drainWindow(static_cast<int>(std::min<long long>(left, 20)));
    }
}

std::vector<std::pair<std::uintptr_t, std::intptr_t>> Session::noticeCodes(std::size_t from) const {
    std::vector<std::pair<std::uintptr_t, std::intptr_t>> codes;
    for (std::size_t i = from; i < m_notices.size(); ++i) codes.emplace_back(m_notices[i].wParam, m_notices[i].lParam);
    return codes;
}

std::string Session::traceText() const {
    std::string text;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(m_host / "Trace", ec)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        text += content.str();
    }
    return text;
}

std::size_t Session::traceCount(const std::string& text) const { return countOf(traceText(), text); }

bool Session::waitTrace(const std::string& text, Ms timeout, std::size_t count) const {
    return waitUntil([&] { return traceCount(text) >= count; }, timeout);
}

bool Session::waitWorkerRunning(Ms timeout) { return m_sim->waitForCommand("HE?", timeout); }

}  // namespace kestro::itest
