// The application object, the link factory, the lifecycle exports, demonstration
// start-up, the settings image and notifications, through the C interface.

#include <gtest/gtest.h>

#include <kestro/kestro.h>

#include "api/app.h"
#include "platform/posix/message_window_posix.h"
#include "temp_host.h"

namespace kestro {
namespace {

// Builds the process-wide objects as a load would, and releases them afterwards.
class Library : public ::testing::Test {
protected:
    void load(const std::string& functionIni = "", const std::string& localIni = "",
              const std::string& errorsIni = "") {
        host.standardLayout(functionIni, localIni, errorsIni);
        ASSERT_EQ(theApp().InitInstance(), 1);
    }
    void TearDown() override { theApp().ExitInstance(); }

    std::string trace() const {
        CCommProtocol* link = g_pCommProtocol;
        return link ? test::TempHost::readFile(link->m_strTraceFileName) : std::string();
    }

    test::TempHost host;
};

TEST_F(Library, FactoryChoosesTheLinkFromCommunicationType) {
    const std::pair<const char*, bool> cases[] = {
        {"", false}, {"[Communication]\r\nCommunication Type=0\r\n", false},
        {"[Communication]\r\nCommunication Type=1\r\n", true}, {"[Communication]\r\nCommunication Type=7\r\n", true}};
    for (const auto& [local, serial] : cases) {
        load("", local);
        EXPECT_EQ(g_pCtlProtocol != nullptr, serial) << local;
        EXPECT_EQ(g_pCanProtocol != nullptr, !serial) << local;
        EXPECT_EQ(static_cast<CCommProtocol*>(serial ? static_cast<CCommProtocol*>(g_pCtlProtocol.load())
                                                     : static_cast<CCommProtocol*>(g_pCanProtocol.load())),
                  g_pCommProtocol.load());
        ASSERT_NE(g_pConsole.load(), nullptr);
        ASSERT_NE(g_ImportExportOpt.load(), nullptr);
        theApp().ExitInstance();
        EXPECT_EQ(g_pCommProtocol.load(), nullptr);
        EXPECT_EQ(g_pConsole.load(), nullptr);
    }
}

TEST_F(Library, FreshLinkState) {
    load();
    CCommProtocol* link = g_pCommProtocol;
    EXPECT_EQ(link->m_WorkFlags.bCommOk, 0);
    EXPECT_EQ(link->m_nDllMode, 0);
    EXPECT_EQ(link->m_nGenState, 0);
    EXPECT_EQ(link->m_pData->bDemo, 0);
    EXPECT_EQ(link->m_bErr220Pending, 1);
    EXPECT_TRUE(std::filesystem::exists(link->m_strTraceFileName));
}

TEST_F(Library, CreateAndDeleteResourcesCycle) {
    load("", "[Communication]\r\nCommunication Type=1\r\n");
    CCommProtocol* first = g_pCommProtocol;
    IO_CreateRes();  // nothing new while objects exist
    EXPECT_EQ(g_pCommProtocol.load(), first);
    for (int cycle = 0; cycle < 3; ++cycle) {
        IO_DeleteRes();
        EXPECT_EQ(g_pCommProtocol.load(), nullptr);
        EXPECT_EQ(g_pCtlProtocol.load(), nullptr);
        EXPECT_EQ(g_pConsole.load(), nullptr);
        EXPECT_NE(g_ImportExportOpt.load(), nullptr);
        // Exports called without a link give their failure values, never a crash.
        EXPECT_EQ(IO_SetDllMode(1), 0);
        EXPECT_EQ(IO_GetModelPointerByte(5), nullptr);
        EXPECT_EQ(IO_InitGenerator(nullptr), 0);
        IO_WriteLog("nothing", 1, "");
        IO_CreateRes();
        ASSERT_NE(g_pCtlProtocol.load(), nullptr);
        ASSERT_NE(g_pConsole.load(), nullptr);
    }
    EXPECT_NE(trace().find("TerminateThreads\r\n"), std::string::npos);
    EXPECT_NE(trace().find("Close Tavrino...\r\n"), std::string::npos);
}

TEST_F(Library, ModesAndFlags) {
    load();
    EXPECT_EQ(IO_SetDllMode(2), 1);
    EXPECT_EQ(g_pCommProtocol.load()->m_nDllMode, 2);
    EXPECT_EQ(IO_SetDllMode(3), 0);
    EXPECT_EQ(IO_SetDllMode(-1), 0);
    EXPECT_EQ(g_pCommProtocol.load()->m_nDllMode, 2);
    EXPECT_NE(trace().find("Set Mode :  2\r\n"), std::string::npos);

    EXPECT_EQ(IO_SetDemoMode(1, 1), 0);  // query only
    EXPECT_EQ(IO_SetDemoMode(0, 1), 1);
    EXPECT_EQ(IO_SetDemoMode(1, 0), 1);
    EXPECT_EQ(IO_SetTestMode(0, 9), 9);
    EXPECT_EQ(IO_SetTestMode(1, 0), 9);

    // Demo: communication calls succeed without a port and leave the flag alone.
    EXPECT_EQ(IO_InitComm(1, 19200, 0, 8, 1, 512, 1), 1);
    EXPECT_EQ(g_pCommProtocol.load()->m_WorkFlags.bCommOk, 0);
    EXPECT_EQ(IO_CloseComm(1), 1);
    IO_SetDemoMode(0, 0);
    EXPECT_EQ(IO_CloseComm(9), 0);

    // No answer: the receive-abort flag is raised; the next open clears it.
    EXPECT_EQ(IO_GetCommState(), 0);
    EXPECT_EQ(g_pCommProtocol.load()->m_bStopReceive, 1);
    IO_InitComm(1, 19200, 0, 8, 1, 512, 1);
    EXPECT_EQ(g_pCommProtocol.load()->m_bStopReceive, 0);
    EXPECT_NE(trace().find("Set m_WorkFlags.bCommOk FALSE!!\r\n"), std::string::npos);
}

TEST_F(Library, SettingWritersGoToTheirFiles) {
    load();
    EXPECT_EQ(GISetSerialCommPort(3), 1);
    EXPECT_EQ(GISetCommunicationMode(1), 1);
    EXPECT_EQ(IO_SetDemoSoftware(1), 1);
    EXPECT_EQ(host.read("Gen/INI/Local.ini"), "[Serial comm]\r\ncom=3\r\n[Communication]\r\nCommunication Type=1\r\n");
    EXPECT_EQ(host.read("Gen/INI/Function.ini"), "[Function]\r\nDemo Enable=1\r\n");
    EXPECT_EQ(g_pCommProtocol.load()->m_pData->bDemo, 0);  // the running library is unchanged
    EXPECT_NE(g_pCanProtocol.load(), nullptr);             // and so is its link
}

TEST_F(Library, DemoStartUpLoadsTheDemoPicture) {
    load("[Function]\r\nDemo Enable=1\r\n");
    EXPECT_EQ(IO_InitGenerator(nullptr), 1);
    CCommProtocol* link = g_pCommProtocol;
    GeneratorData& d = *link->m_pData;
    EXPECT_EQ(d.bDemo, 1);
    EXPECT_EQ(link->m_nGenState, 1);
    EXPECT_EQ(link->m_WorkFlags.bCommOk, 1);
    const std::pair<const LiveInt*, int> values[] = {
        {&d.radKV, 75},          {&d.radMA, 100},          {&d.radMS, 630},   {&d.radMAS, 250},
        {&d.radPPS, 8},          {&d.radPulseTime, 60},    {&d.aecExposureTime, 200},
        {&d.serialExposureCount, 100}, {&d.fluoKV, 70},    {&d.fluoMA, 100},  {&d.fluoPPS, 75},
        {&d.fluoMode, 1},        {&d.fluoABS, 1},          {&d.receptor, 1},  {&d.aecField, 1},
        {&d.aecFilm, 1},         {&d.aecDensity, -1},      {&d.genKW, 50},    {&d.genConfig, 6},
        {&d.radExposureState, 1}, {&d.radPrepState, -1},   {&d.genErrorCode, -1}, {&d.genWarningCode, -1},
        {&d.anodeHeat, 0},       {&d.calibMode, 0}};
    for (const auto& [field, value] : values) EXPECT_EQ(field->load(), value);
    EXPECT_EQ(d.statusByte0, 1);
    EXPECT_EQ(IO_ResetGen(), 1);
    EXPECT_EQ(GIInitGenerator(nullptr), 1);
    // Host trace lines are not written in demo mode; the library's own are.
    IO_WriteLog("host line", 5, "x");
    GSIWriteTrace("service line", 5, "y");
    EXPECT_EQ(trace().find("host line"), std::string::npos);
    EXPECT_EQ(trace().find("service line"), std::string::npos);
    EXPECT_EQ(IO_SetDllMode(1), 1);
    EXPECT_NE(trace().find("Set Mode :  1"), std::string::npos);
}

TEST_F(Library, CompatibilityRequiredRunsTheQuery) {
    // Demo mode: the packet exchange succeeds at once, so a query without entries passes.
    load("[Function]\r\nDemo Enable=1\r\nComp Transfer=1\r\n");
    EXPECT_EQ(IO_InitGenerator(nullptr), 1);
    EXPECT_EQ(trace().find("IO_GetGeneratorCompatibility() failed"), std::string::npos);
    // A configuration the query refuses fails the start-up.
    host.write("Gen/INI/Function.ini",
               "[Function]\r\nDemo Enable=1\r\nComp Transfer=1\r\n[CompInformation]\r\ntotal=11\r\n");
    EXPECT_EQ(IO_InitGenerator(nullptr), -5);
    EXPECT_EQ(GIInitGenerator(nullptr), 0);
    EXPECT_NE(trace().find("IO_GetGeneratorCompatibility() failed\r\n"), std::string::npos);
}

TEST_F(Library, HostTraceLinesAndTestLog) {
    load();
    IO_WriteLog("Host says", 0, "hello");
    GSIWriteTrace("Service says", -1, "bye");
    IO_CloseTestLog();  // the test-log flag is never set: the file stays open
    IO_WriteLog("after close", -1, "");
    IO_OpenTestLog();
    IO_WriteLog("after reopen", -1, "");
    std::string text = trace();
    EXPECT_NE(text.find("   Host says 0hello\r\n"), std::string::npos);
    EXPECT_NE(text.find("   Service says bye\r\n"), std::string::npos);
    EXPECT_NE(text.find("   after close \r\n"), std::string::npos);
    EXPECT_NE(text.find("   after reopen \r\n"), std::string::npos);
}

TEST_F(Library, SettingsImagePositions) {
    load();
    unsigned char* base = g_pCommProtocol.load()->m_pData->SettingsImage;
    const std::pair<int, std::ptrdiff_t> positions[] = {
        {1, 231}, {2, 136}, {3, 112},  {4, 159},  {5, 0},    {6, 206},  {7, 356},  {8, 434},  {9, 444},
        {10, 464}, {11, 386}, {12, 480}, {13, 507}, {14, 520}, {15, 238}, {16, 906}, {17, 1494}, {18, 244},
        {19, 1549}, {20, 1589}, {21, 1609}, {22, 314}, {23, 334}, {24, 324}, {25, 1108}};
    for (const auto& [packet, pos] : positions) {
        EXPECT_EQ(IO_GetModelPointerByte(packet) - base, pos) << packet;
        EXPECT_EQ(GSIGetDataPacketPointer(packet), IO_GetModelPointerByte(packet));
    }
    EXPECT_EQ(IO_GetModelPointerByte(0), nullptr);
    EXPECT_EQ(IO_GetModelPointerByte(26), nullptr);
    // Packet 21 starts on the second-to-last byte of packet 20.
    EXPECT_EQ(IO_GetModelPointerByte(21), IO_GetModelPointerByte(20) + 22 - 2);
    // The packets tile the image without gaps except the documented unused ranges.
    std::vector<int> owner(kSettingsImageSize, 0);
    for (const auto& p : kDataPackets)
        for (std::size_t i = 0; i < p.length; ++i) ++owner[p.position + i];
    int shared = 0, unused = 0;
    for (int o : owner) shared += o > 1, unused += o == 0;
    EXPECT_EQ(shared, 2);             // 1609 and 1610
    EXPECT_EQ(unused, 20 + 88 + 2);   // technique record, 24..111, 1682..1683
}

TEST(GeneratorDataRules, ErrIndexFromCode) {
    const std::pair<int, int> cases[] = {{1, 0},     {98, 97},   {99, 255}, {100, 73}, {105, 78}, {106, 255},
                                         {199, 255}, {200, 79},  {232, 111}, {233, 255}, {0, 255}, {-1, 255}};
    for (const auto& [code, index] : cases) EXPECT_EQ(errIndexFromCode(code), index) << code;
}

TEST_F(Library, ErrorsReachTheHostWindow) {
    load("", "", "[Error Messages]\r\n0=81\r\n5=12:Door open\r\n80=Tube overheated\r\n81=0:bad\r\n");
    HWND window = KestroCreateMessageWindow();
    ASSERT_EQ(IO_SetMsghWnd(window), 1);
    CCommProtocol* link = g_pCommProtocol;
    link->m_pData->genErrorCode = 7;
    link->PostErrorMessage(true, 213);
    link->PostErrorMessage(false, 203);
    KestroMessage m{};
    ASSERT_EQ(KestroGetMessage(window, &m, 1000), 1);
    EXPECT_EQ(m.message, 0x7E8u);
    EXPECT_EQ(m.wParam, 5u);
    EXPECT_EQ(m.lParam, 213);
    ASSERT_EQ(KestroGetMessage(window, &m, 1000), 1);
    EXPECT_EQ(m.wParam, 6u);
    EXPECT_EQ(m.lParam, 203);
    EXPECT_EQ(link->m_pData->genWarningCode, 213);
    EXPECT_EQ(link->m_pData->genErrorCode, 203);
    EXPECT_EQ(KestroGetMessage(window, &m, 10), 0);

    EXPECT_STREQ(IO_GetErrorMessage(200).text, "Tube overheated");
    EXPECT_STREQ(IO_GetErrorMessage(201).text, "0:bad");
    EXPECT_STREQ(IO_GetErrorMessage(4).text, "");
    int number = -1;
    EXPECT_STREQ(GIGetGenErrorInformation(5, &number), "Door open");
    EXPECT_EQ(number, 12);
    EXPECT_STREQ(GIGetGenErrorInformation(201, &number), "");
    EXPECT_EQ(number, 0);

    EXPECT_EQ(IO_GetErrNumberUIReceived(42), 42);
    EXPECT_EQ(link->m_nErrNumberUIReceived, 42);
    link->m_nThermalErrorCount = 3;
    EXPECT_EQ(IO_GetThermalErrorCount(), 3);

    // A window that is gone is ignored.
    KestroDestroyMessageWindow(window);
    link->PostErrorMessage(false, 204);
    EXPECT_EQ(KestroGetMessage(window, &m, 0), -1);
}

// Without a configured trace directory the trace goes into the host directory itself,
// never beside it.
TEST_F(Library, AbsentOrEmptyTracePathTracesInTheHostDirectory) {
    const char* pathConfigs[] = {"[LocalPath]\r\n[ErrorCodePath]\r\nPCInfoPath=\\Gen\\INI\\Errors.ini\r\n",
                                 "[LocalPath]\r\nTracePath=\r\n", nullptr};
    for (const char* pathConfig : pathConfigs) {
        host.standardLayout();
        if (pathConfig) host.write("Gen/INI/PathCfg.ini", pathConfig);
        else std::filesystem::remove(host.dir() / "Gen/INI/Path.ini");
        ASSERT_EQ(theApp().InitInstance(), 1);
        ASSERT_NE(g_pCommProtocol, nullptr);
        CCommProtocol* link = g_pCommProtocol;
        const std::filesystem::path file = link->m_strTraceFileName;
        EXPECT_EQ(file.parent_path(), host.dir()) << (pathConfig ? pathConfig : "no path index");
        EXPECT_TRUE(std::filesystem::exists(file));
        EXPECT_EQ(file.filename().string().size(), 12u);  // YYYYMMDD.txt
        for (const auto& entry : std::filesystem::directory_iterator(host.dir().parent_path()))
            EXPECT_NE(entry.path().filename().string().rfind(host.dir().filename().string() + "20", 0), 0u)
                << entry.path();
        theApp().ExitInstance();
    }
}

TEST(MessageWindow, OrderedBoundedQueue) {
    HWND window = KestroCreateMessageWindow();
    for (std::size_t i = 0; i < platform::kMessageQueueLimit + 5; ++i)
        platform::postMessage(window, 0x7E8, i, static_cast<std::intptr_t>(i));
    EXPECT_EQ(platform::droppedMessages(window), 5u);
    KestroMessage m{};
    for (std::size_t i = 0; i < platform::kMessageQueueLimit; ++i) {
        ASSERT_EQ(KestroGetMessage(window, &m, 0), 1);
        ASSERT_EQ(m.wParam, i);
    }
    EXPECT_EQ(KestroGetMessage(window, &m, 0), 0);
    EXPECT_FALSE(platform::postMessage(nullptr, 1, 2, 3));
    int stale = 0;
    EXPECT_FALSE(platform::postMessage(&stale, 1, 2, 3));
    // A waiter is released when its window is destroyed.
    std::thread waiter([&] { EXPECT_EQ(KestroGetMessage(window, &m, 5000), -1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    KestroDestroyMessageWindow(window);
    waiter.join();
}

}  // namespace
}  // namespace kestro
