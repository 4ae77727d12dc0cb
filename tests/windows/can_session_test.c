/* A CAN session under Wine ("Communication Type" 0): the library's CAN adapter loads the
   driver stand-in (vxlapi.dll beside this host, built from xl_standin.c), which carries
   the frames over socketcand to kestro-sim. The host opens communication, starts the
   generator with IO_InitGenerator_CAN, sets kV, follows a radiography handshake through
   its notifications, and then compares the stand-in's record of the driver calls with
   the calling sequence of the CAN adapter.

   The simulator is driven through the test script as in session_test.c: "ctl\req-<n>.txt"
   beside the host, the reply in "ctl\rep-<n>.txt".

   can_session_test.exe              (prints a summary; the exit code is the number of failures)
   can_session_test.exe --no-driver  (no vxlapi.dll beside it: opening fails cleanly and the
                                      trace says why)
   can_session_test.exe --socketcand (no vxlapi.dll; KESTRO_CAN names the simulator's
                                      socketcand bus, which the library reaches over Winsock) */

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define WM_GEN_NOTIFY 0x7E8

typedef int(WINAPI* IntOfVoid)(void);
typedef int(WINAPI* IntOfHwnd)(HWND);
typedef int(WINAPI* IntOfByteInt)(unsigned char, int);
typedef int(WINAPI* InitCommFn)(UINT, UINT, UINT, UINT, UINT, UINT, int);
typedef void(WINAPI* VoidOfVoid)(void);

static int g_passed;
static int g_failed;
static char g_dir[MAX_PATH];

static void check(int ok, const char* format, ...) {
    va_list args;
    va_start(args, format);
    printf("%s ", ok ? "ok  " : "FAIL");
    vprintf(format, args);
    printf("\n");
    va_end(args);
    if (ok) ++g_passed;
    else ++g_failed;
}

static void pathOf(char* out, size_t size, const char* relative) { snprintf(out, size, "%s%s", g_dir, relative); }

static int writeText(const char* relative, const char* content) {
    char path[MAX_PATH * 2];
    pathOf(path, sizeof path, relative);
    FILE* f = fopen(path, "wb");
    if (!f) return 0;
    fputs(content, f);
    return fclose(f) == 0;
}

static char* readAll(const char* relative) {
    char path[MAX_PATH * 2];
    pathOf(path, sizeof path, relative);
    FILE* f = fopen(path, "rb");
    if (!f) return NULL;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fseek(f, 0, SEEK_SET);
    char* text = (char*)malloc((size_t)n + 1);
    size_t got = fread(text, 1, (size_t)n, f);
    text[got] = '\0';
    fclose(f);
    return text;
}

#define MAX_SEEN 256
static struct {
    WPARAM wParam;
    LPARAM lParam;
} g_seen[MAX_SEEN];
static int g_seenCount;

static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_GEN_NOTIFY) {
        if (g_seenCount < MAX_SEEN) {
            g_seen[g_seenCount].wParam = wParam;
            g_seen[g_seenCount].lParam = lParam;
            ++g_seenCount;
        }
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static void pump(DWORD ms) {
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    if (ms) MsgWaitForMultipleObjects(0, NULL, FALSE, ms, QS_POSTMESSAGE);
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

static int waitNotice(WPARAM wParam, LPARAM lParam, int from, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        pump(0);
        for (int i = from; i < g_seenCount; ++i)
            if (g_seen[i].wParam == wParam && g_seen[i].lParam == lParam) return i;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return -1;
        pump(timeoutMs - elapsed < 50 ? timeoutMs - elapsed : 50);
    }
}

static int g_request;

static int simAsk(const char* command, char* reply, size_t size, DWORD timeoutMs) {
    char name[64], temporary[64], path[MAX_PATH * 2], finalPath[MAX_PATH * 2];
    ++g_request;
    snprintf(temporary, sizeof temporary, "\\ctl\\req-%d.tmp", g_request);
    snprintf(name, sizeof name, "\\ctl\\req-%d.txt", g_request);
    reply[0] = '\0';
    if (!writeText(temporary, command)) return 0;
    pathOf(path, sizeof path, temporary);
    pathOf(finalPath, sizeof finalPath, name);
    if (!MoveFileA(path, finalPath)) return 0;
    snprintf(name, sizeof name, "\\ctl\\rep-%d.txt", g_request);
    pathOf(path, sizeof path, name);
    DWORD start = GetTickCount();
    while (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - start >= timeoutMs) {
            printf("     no reply to \"%s\"\n", command);
            return 0;
        }
        pump(10);
    }
    char* text = readAll(name);
    if (!text) return 0;
    snprintf(reply, size, "%s", text);
    free(text);
    size_t n = strlen(reply);
    while (n > 0 && (reply[n - 1] == '\n' || reply[n - 1] == '\r')) reply[--n] = '\0';
    printf("     sim> %s -> %.*s\n", command, (int)strcspn(reply, "\n"), reply);
    return 1;
}

/* The calls of a first start (nothing registered yet), in order, as the stand-in records
   them: two CAN channels registered for "Tavrino", the port on both, the filter closed
   and opened for identifier 8, the bus off and on at 500000 bit/s, then the notification
   armed by the read thread. */
static const char* const kStartCalls[] = {
    "xlOpenDriver",
    "xlGetDriverConfig",
    "xlGetApplConfig Tavrino 0 bus 1 -> 101",
    "xlSetApplConfig Tavrino 0 hw 57/0/1 bus 1",
    "xlGetChannelMask 57/0/1 -> 0x2",
    "xlSetApplConfig Tavrino 1 hw 57/0/2 bus 1",
    "xlGetChannelMask 57/0/2 -> 0x4",
    "xlOpenPort Tavrino access 0x6 permission 0x6 queue 256 version 3 bus 1",
    "xlCanSetChannelMode port 1 access 0x6 tx 0 txrq 0",
    "xlCanSetChannelAcceptance port 1 access 0x6 code 0xFFF mask 0xFFF range 1",
    "xlCanAddAcceptanceRange port 1 access 0x6 8..8",
    "xlDeactivateChannel port 1 access 0x6",
    "xlCanSetChannelBitrate port 1 access 0x6 500000",
    "xlActivateChannel port 1 access 0x6 bus 1 flags 8",
    "xlSetNotification port 1 level 1",
};

static int noDriver(void);

int main(int argc, char** argv) {
    setvbuf(stdout, NULL, _IONBF, 0);
    DWORD n = GetModuleFileNameA(NULL, g_dir, sizeof g_dir);
    while (n > 0 && g_dir[n - 1] != '\\') --n;
    if (n > 0) --n;
    g_dir[n] = '\0';

    char dir[MAX_PATH * 2];
    const char* dirs[] = {"\\Gen", "\\Gen\\INI", "\\ctl"};
    for (size_t i = 0; i < sizeof dirs / sizeof dirs[0]; ++i) {
        pathOf(dir, sizeof dir, dirs[i]);
        CreateDirectoryA(dir, NULL);
    }
    if (argc > 1 && strcmp(argv[1], "--no-driver") == 0) return noDriver();
    const int viaDriver = !(argc > 1 && strcmp(argv[1], "--socketcand") == 0);
    check(writeText("\\Gen\\INI\\Path.ini",
                    "[INI Path]\r\nFunctionConfigPath=\\Gen\\INI\\Function.ini\r\n"
                    "LocalConfigPath=\\Gen\\INI\\LocalComm.ini\r\nPathIniPath=\\Gen\\INI\\PathConfig.ini\r\n") &&
              writeText("\\Gen\\INI\\Function.ini", "[Function]\r\nDemo Enable=0\r\n") &&
              writeText("\\Gen\\INI\\LocalComm.ini", "[Communication]\r\nCommunication Type=0\r\n") &&
              writeText("\\Gen\\INI\\PathConfig.ini", "[LocalPath]\r\nTracePath=\\Trace\\\r\n"),
          "settings for a CAN link (\"Communication Type\" 0)");

    char reply[1024];
    check(simAsk("status", reply, sizeof reply, 20000) && strncmp(reply, "OK state=2 ", 11) == 0,
          "the simulator answers its control channel and is ready (state 2)");

    HMODULE dll = LoadLibraryA("Kestro.dll");
    check(dll != NULL, "LoadLibraryA(\"Kestro.dll\")");
    if (!dll) goto done;
    InitCommFn initComm = (InitCommFn)(void (*)(void))GetProcAddress(dll, "IO_InitComm");
    IntOfVoid initCan = (IntOfVoid)(void (*)(void))GetProcAddress(dll, "IO_InitGenerator_CAN");
    IntOfHwnd setWindow = (IntOfHwnd)(void (*)(void))GetProcAddress(dll, "IO_SetMsghWnd");
    IntOfVoid commState = (IntOfVoid)(void (*)(void))GetProcAddress(dll, "IO_GetCommState");
    IntOfByteInt radKV = (IntOfByteInt)(void (*)(void))GetProcAddress(dll, "IO_RadKVValue");
    VoidOfVoid deleteRes = (VoidOfVoid)(void (*)(void))GetProcAddress(dll, "IO_DeleteRes");
    check(initComm && initCan && setWindow && commState && radKV && deleteRes, "the exports resolve by name");
    if (!initComm || !initCan || !setWindow || !commState || !radKV || !deleteRes) goto unload;

    WNDCLASSA cls;
    memset(&cls, 0, sizeof cls);
    cls.lpfnWndProc = windowProc;
    cls.hInstance = GetModuleHandleA(NULL);
    cls.lpszClassName = "KestroCanSessionTest";
    RegisterClassA(&cls);
    HWND window = CreateWindowExA(0, cls.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, cls.hInstance, NULL);
    check(window != NULL, "message-only window created");
    setWindow(window);

    int opened = initComm(1, 19200, 0, 8, 1, 512, 1);
    check(opened == 1, "IO_InitComm(..., 1) = %d opens the CAN bus %s", opened,
          viaDriver ? "through vxlapi.dll" : "named by KESTRO_CAN (socketcand over Winsock)");
    DWORD start = GetTickCount();
    int init = initCan();
    check(init == 1, "IO_InitGenerator_CAN() = %d (%lu ms)", init, (unsigned long)(GetTickCount() - start));
    check(commState() == 1, "IO_GetCommState() = 1 after start-up");
    if (init != 1) goto closeWindow;

    int kv = radKV(0, 80);
    check(kv == 80, "IO_RadKVValue(0, 80) = %d", kv);

    {
        pump(0);
        int from = g_seenCount;
        check(simAsk("expose 100", reply, sizeof reply, 10000) && strncmp(reply, "OK expose", 9) == 0,
              "the simulator starts a 100 ms exposure");
        static const struct {
            WPARAM wParam;
            LPARAM lParam;
        } steps[] = {{2, 2}, {2, 3}, {1, 2}, {1, 1}, {2, 1}};
        int inOrder = 1;
        for (size_t i = 0; i < sizeof steps / sizeof steps[0] && inOrder; ++i) {
            int at = waitNotice(steps[i].wParam, steps[i].lParam, from, 10000);
            if (at < 0) {
                printf("     no WM_GEN_NOTIFY (%lu, %ld)\n", (unsigned long)steps[i].wParam, (long)steps[i].lParam);
                inOrder = 0;
            } else {
                from = at + 1;
            }
        }
        check(inOrder, "the radiography handshake notifications (2,2), (2,3), (1,2), (1,1), (2,1) arrive in order");
        check(simAsk("wait 10000", reply, sizeof reply, 15000) && strstr(reply, "expose completed") &&
                  !strstr(reply, "no-echo"),
              "the simulator's handshake completed with every step echoed over CAN");
    }

closeWindow:
    if (window) DestroyWindow(window);
unload:
    if (deleteRes) deleteRes();
    FreeLibrary(dll);

    if (viaDriver) {
        char* calls = readAll("\\xl_calls.txt");
        check(calls != NULL, "the stand-in recorded the driver calls");
        if (calls) {
            char* line = calls;
            int matched = 1;
            for (size_t i = 0; i < sizeof kStartCalls / sizeof kStartCalls[0]; ++i) {
                char* end = strchr(line, '\n');
                size_t length = end ? (size_t)(end - line) : strlen(line);
                if (length > 0 && line[length - 1] == '\r') --length;
                if (length != strlen(kStartCalls[i]) || strncmp(line, kStartCalls[i], length) != 0) {
                    printf("     call %u: expected \"%s\", recorded \"%.*s\"\n", (unsigned)(i + 1), kStartCalls[i],
                           (int)length, line);
                    matched = 0;
                    break;
                }
                line = end ? end + 1 : line + length;
            }
            check(matched, "the first %u driver calls match the adapter's sequence and arguments",
                  (unsigned)(sizeof kStartCalls / sizeof kStartCalls[0]));
            check(strstr(calls, "xlCanTransmit port 1 access 0x2 events 1: [tag 10 id 0x550 flags 0 dlc 7 "
                                "4B 56 30 38 30 03 3C]") != NULL,
                  "\"KV080\" went out as one frame of identifier 0x550 and length 7 on channel mask 0");
            free(calls);
        }
    }
done:
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed > 100 ? 100 : g_failed;
}

/* Without the driver DLL: IO_InitComm gives 0, the trace names the library, nothing
   crashes, and the library unloads. */
static int noDriver(void) {
    check(writeText("\\Gen\\INI\\Path.ini",
                    "[INI Path]\r\nFunctionConfigPath=\\Gen\\INI\\Function.ini\r\n"
                    "LocalConfigPath=\\Gen\\INI\\LocalComm.ini\r\nPathIniPath=\\Gen\\INI\\PathConfig.ini\r\n") &&
              writeText("\\Gen\\INI\\Function.ini", "[Function]\r\nDemo Enable=0\r\n") &&
              writeText("\\Gen\\INI\\LocalComm.ini", "[Communication]\r\nCommunication Type=0\r\n") &&
              writeText("\\Gen\\INI\\PathConfig.ini", "[LocalPath]\r\nTracePath=\\Trace\\\r\n"),
          "settings for a CAN link, no vxlapi.dll beside the host");
    HMODULE dll = LoadLibraryA("Kestro.dll");
    check(dll != NULL, "LoadLibraryA(\"Kestro.dll\")");
    if (!dll) goto done;
    InitCommFn initComm = (InitCommFn)(void (*)(void))GetProcAddress(dll, "IO_InitComm");
    VoidOfVoid deleteRes = (VoidOfVoid)(void (*)(void))GetProcAddress(dll, "IO_DeleteRes");
    if (initComm) {
        check(initComm(1, 19200, 0, 8, 1, 512, 1) == 0, "IO_InitComm(..., 1) = 0 without the driver library");
        check(initComm(1, 19200, 0, 8, 1, 512, 1) == 0, "and again = 0");
    }
    if (deleteRes) deleteRes();
    check(FreeLibrary(dll) != 0, "IO_DeleteRes and FreeLibrary return");
    {
        SYSTEMTIME st;
        char name[64];
        GetLocalTime(&st);
        snprintf(name, sizeof name, "\\Trace\\%4d%02d%02d.txt", st.wYear, st.wMonth, st.wDay);
        char* text = readAll(name);
        check(text && strstr(text, "   CAN driver library could not be loaded: vxlapi.dll\r\n"),
              "the trace says that the CAN driver library could not be loaded");
        free(text);
    }
done:
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed > 100 ? 100 : g_failed;
}
