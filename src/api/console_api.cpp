// Service-console exports: opening and closing the console link, and its transfers.

#include "api/export.h"
#include "config/ini_file.h"
#include "platform/platform.h"

using namespace kestro;

KESTRO_EXPORT(int) GSIInitConsole(HWND hWnd) {
    return guarded(0, [&] {
        if (IO_CloseComm(3) == 0) return 0;
        platform::sleepMs(500);
        const SerialSettings s = readSerialSettings(CLocalCommConfig());
        // A port that cannot be opened ends here, and no console thread is left running
        // (threads of an earlier start are stopped; the next start creates them again).
        if (IO_InitComm(s.port, s.baud, s.parity, s.byteSize, s.stopBits, 1024, 3) == 0) {
            if (CMyProtocl* console = g_pConsole) {
                console->stopReadThread1();
                console->stopWriteThread();
            }
            return 0;
        }
        if (IO_SetMsghWndA(hWnd) == 0) return 0;
        return IO_InitDLL(3) == 1 ? 1 : 0;
    });
}

KESTRO_EXPORT(int) GSICloseConsoleCommunication(void) {
    return guarded(0, [] {
        const int result = IO_CloseComm(3);
        IO_DeleteRes();
        IO_CreateRes();
        return result;
    });
}

KESTRO_EXPORT(int) IO_ConsoleDownLoad(const char* path, unsigned char param, int operation) {
    return guarded(0, [&] {
        CMyProtocl* console = g_pConsole;
        if (!console || !path) return 0;
        return console->ConsoleDownLoad(path, param, operation);
    });
}

KESTRO_EXPORT(void) GSIConsoleUpDownload(const char* path, unsigned char param, int operation) {
    guardedVoid([&] {
        if (!path) return;  // nothing to send
        IO_ConsoleDownLoad(path, param, operation);
    });
}
