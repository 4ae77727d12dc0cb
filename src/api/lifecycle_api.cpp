// Lifecycle exports: resources, communication, modes, start-up.

#include "api/export.h"
#include "platform/platform.h"

using namespace kestro;

namespace {

// How long IO_DeleteRes waits for calls in flight before it leaves the objects to the
// last of them: longer than any acknowledged exchange, short enough for a host's exit.
constexpr int kDeleteWaitMs = 5000;

}  // namespace

KESTRO_EXPORT(void) IO_CreateRes(void) {
    guardedVoid([] {
        std::lock_guard<std::mutex> lock(lifecycleLock());
        if (!g_pCommProtocol) CreateInstanceOfCommProtocol();
        if (!g_pConsole) g_pConsole = new CMyProtocl;
    });
}

KESTRO_EXPORT(void) IO_DeleteRes(void) {
    guardedVoid([] {
        CCommProtocol* link = nullptr;
        CMyProtocl* console = nullptr;
        {
            std::lock_guard<std::mutex> lock(lifecycleLock());
            link = g_pCommProtocol.exchange(nullptr);
            if (link) {
                g_pCtlProtocol = nullptr;
                g_pCanProtocol = nullptr;
            }
            console = g_pConsole.exchange(nullptr);
        }
        // Later calls find no link and fail; calls already running finish first.
        retireObjects(link, console, kDeleteWaitMs);
    });
}

KESTRO_EXPORT(int) IO_InitComm(UINT port, UINT baud, UINT parity, UINT byteSize, UINT stopBits, UINT bufferSize,
                               int linkType) {
    return guarded(0, [&] {
        CCommProtocol* link = activeLink();
        if (!link) return 0;
        if (link->m_pData->bDemo) return 1;
        if (linkType == 3) {
            CMyProtocl* console = g_pConsole;
            return console ? console->m_SerialPort.Open(port, baud, static_cast<BYTE>(parity),
                                                        static_cast<BYTE>(byteSize), stopBits, bufferSize)
                           : 0;
        }
        if (linkType == 1) {
            link->m_bStopReceive = 0;
            link->m_WorkFlags.bCommOk = 0;
            link->WriteTraceLine("Set m_WorkFlags.bCommOk FALSE!!");
            return link->InitComm(port, baud, parity, byteSize, stopBits, bufferSize);
        }
        return 0;
    });
}

KESTRO_EXPORT(int) IO_CloseComm(int linkType) {
    return guarded(0, [&] {
        CCommProtocol* link = activeLink();
        if (!link) return 0;
        if (link->m_pData->bDemo) return 1;
        if (linkType == 3) {
            if (CMyProtocl* console = g_pConsole) console->m_SerialPort.Close();
            return 1;
        }
        if (linkType == 1) {
            link->CloseComm();
            return 1;
        }
        return 0;
    });
}

KESTRO_EXPORT(int) IO_SetMsghWnd(HWND hWnd) {
    return guarded(0, [&] {
        CCommProtocol* link = activeLink();
        return link ? link->setMsghWnd(hWnd) : 0;
    });
}

KESTRO_EXPORT(int) IO_SetMsghWndA(HWND hWnd) {
    return guarded(0, [&] {
        CMyProtocl* console = g_pConsole;
        return console ? console->setMsghWnd(hWnd) : 0;
    });
}

KESTRO_EXPORT(int) IO_GetCommState(void) {
    return guarded(0, [] {
        CCommProtocol* link = activeLink();
        if (!link) return 0;
        int ok = link->m_WorkFlags.bCommOk;
        if (ok == 0) link->m_bStopReceive = 1;
        return ok;
    });
}

KESTRO_EXPORT(int) IO_SetDllMode(int mode) {
    return guarded(0, [&] {
        CCommProtocol* link = activeLink();
        if (!link || mode < 0 || mode > 2) return 0;
        link->m_nDllMode = mode;
        link->WriteTraceLine("Set Mode : ", mode, "");
        return 1;
    });
}

KESTRO_EXPORT(int) IO_SetDemoMode(BYTE bQuery, UINT value) {
    return guarded(0, [&] {
        CCommProtocol* link = activeLink();
        if (!link) return 0;
        if (bQuery == 0) link->m_pData->bDemo = static_cast<std::int32_t>(value);
        return static_cast<int>(link->m_pData->bDemo);
    });
}

KESTRO_EXPORT(int) IO_SetTestMode(BYTE bQuery, UINT value) {
    return guarded(0, [&] {
        CCommProtocol* link = activeLink();
        if (!link) return 0;
        if (bQuery == 0) link->m_pData->testMode = static_cast<std::int32_t>(value);
        return static_cast<int>(link->m_pData->testMode);
    });
}

KESTRO_EXPORT(int) IO_SetDemoSoftware(int enable) {
    return guarded(0, [&] { return CFunctionConfig().setDemoEnable(enable); });
}

KESTRO_EXPORT(int) GISetCommunicationMode(int mode) {
    return guarded(0, [&] { return CLocalCommConfig().setCommunicationType(mode); });
}

KESTRO_EXPORT(int) GISetSerialCommPort(int port) {
    return guarded(0, [&] { return CLocalCommConfig().setCom(port); });
}

KESTRO_EXPORT(int) IO_SuspendWorkThread(void) {
    return guarded(0, [] {
        int result = 1;
        if (CCommProtocol* link = activeLink()) result = link->SuspendWorkThread();
        platform::sleepMs(200);
        return result;
    });
}

KESTRO_EXPORT(int) IO_ResumeWorkThread(void) {
    return guarded(0, [] {
        if (CCommProtocol* link = activeLink()) {
            link->resumeReadThread();
            link->resumeWriteThread();
        }
        platform::sleepMs(200);
        return 1;
    });
}

KESTRO_EXPORT(int) IO_InitDLL(int linkType) {
    return guarded(0, [&] {
        if (linkType == 3) {
            CMyProtocl* console = g_pConsole;
            return console ? console->Init() : 0;
        }
        CCommProtocol* link = activeLink();
        return link ? link->InitGen() : 0;
    });
}

namespace {

void readDemoSetting(CCommProtocol& link) {
    link.m_pData->bDemo = CFunctionConfig().demoEnable() != 0 ? 1 : 0;
}

int initialGenerator(bool setWindow, HWND hWnd) {
    CCommProtocol* link = activeLink();
    if (!link) return 0;
    readDemoSetting(*link);
    if (IO_CloseComm(1) == 0) return 0;
    platform::sleepMs(500);
    SerialSettings s = readSerialSettings(CLocalCommConfig());
    if (IO_InitComm(s.port, s.baud, s.parity, s.byteSize, s.stopBits, 512, 1) == 0) return 0;
    if (setWindow) IO_SetMsghWnd(hWnd);
    int r = IO_InitDLL(1);
    if (r != 1) return r;
    if (CFunctionConfig().compTransfer() == 1 && IO_GetGeneratorCompatibility() == -1) {
        link->WriteTraceLine("IO_GetGeneratorCompatibility() failed");
        return -5;
    }
    return 1;
}

}  // namespace

KESTRO_EXPORT(int) IO_InitGenerator(HWND hWnd) {
    return guarded(0, [&] { return initialGenerator(true, hWnd); });
}

KESTRO_EXPORT(int) IO_InitialGenerator(void) {
    return guarded(0, [] { return initialGenerator(false, nullptr); });
}

KESTRO_EXPORT(int) IO_InitGenerator_CAN(void) {
    return guarded(0, [] {
        CCommProtocol* link = activeLink();
        if (!link) return 0;
        readDemoSetting(*link);
        return link->InitGen();
    });
}

KESTRO_EXPORT(int) IO_ResetGen(void) {
    return guarded(0, [] {
        CCommProtocol* link = activeLink();
        if (!link) return 0;
        if (link->m_pData->bDemo) return 1;
        return link->ResetGen();
    });
}

KESTRO_EXPORT(int) GIResetGenError(void) { return IO_ResetGen(); }

KESTRO_EXPORT(int) GIInitGenerator(HWND hWnd) { return IO_InitGenerator(hWnd) == 1 ? 1 : 0; }

KESTRO_EXPORT(int) GICloseGenCommunication(void) { return IO_CloseComm(1); }

KESTRO_EXPORT(int) GICheckGenCommIsNormal(void) { return IO_GetCommState(); }
