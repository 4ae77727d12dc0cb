/* A serial session under Wine against kestro-sim: COM4 is mapped to the pseudo-terminal
   that the simulator serves. The host binds the exports with GetProcAddress (by name,
   and the operator calls also by ordinal), starts the generator link with a
   message-only window, sets values of each operator family, follows a radiography
   handshake through its notifications, and reads the trace of the day.

   The simulator is asked and driven through the test script: the host writes one
   control command to "ctl\req-<n>.txt" beside itself, and the script passes it to the
   simulator's control socket and writes the reply to "ctl\rep-<n>.txt". The host keeps
   dispatching its window's messages while it waits.

   session_test.exe   (prints a summary; the exit code is the number of failures) */

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdarg.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define WM_GEN_NOTIFY 0x7E8

typedef int(WINAPI* IntOfVoid)(void);
typedef int(WINAPI* IntOfHwnd)(HWND);
typedef int(WINAPI* IntOfByte)(unsigned char);
typedef int(WINAPI* IntOfByteInt)(unsigned char, int);
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

/* ---- Notifications ----------------------------------------------------------------------- */

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

/* Dispatches posted messages for up to ms milliseconds (less when one arrives). */
static void pump(DWORD ms) {
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    if (ms) MsgWaitForMultipleObjects(0, NULL, FALSE, ms, QS_POSTMESSAGE);
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

/* Index of the first notification (wParam, lParam) at or after from, waiting for it
   until the deadline; -1 when it does not come. */
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

/* ---- The simulator's control channel ------------------------------------------------------ */

static int g_request;

/* Sends one control command; the reply (its first line has no line break) goes to reply.
   Returns 0 when no reply came before the deadline. */
static int simAsk(const char* command, char* reply, size_t size, DWORD timeoutMs) {
    char name[64], temporary[64], path[MAX_PATH * 2], finalPath[MAX_PATH * 2];
    ++g_request;
    snprintf(temporary, sizeof temporary, "\\ctl\\req-%d.tmp", g_request);
    snprintf(name, sizeof name, "\\ctl\\req-%d.txt", g_request);
    reply[0] = '\0';
    if (!writeText(temporary, command)) return 0;
    pathOf(path, sizeof path, temporary);
    pathOf(finalPath, sizeof finalPath, name);
    if (!MoveFileA(path, finalPath)) return 0;  /* the script sees whole requests only */
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
    printf("     sim> %s -> %.*s%s\n", command, (int)strcspn(reply, "\n"), reply, strchr(reply, '\n') ? " ..." : "");
    return 1;
}

/* "get NAME": the simulator's value, or -99999 when it did not answer. */
static int simValue(const char* name) {
    char command[64], reply[256];
    snprintf(command, sizeof command, "get %s", name);
    if (!simAsk(command, reply, sizeof reply, 10000) || strncmp(reply, "OK ", 3) != 0) return -99999;
    return atoi(reply + 3);
}

static int simOk(const char* command) {
    char reply[512];
    return simAsk(command, reply, sizeof reply, 10000) && strncmp(reply, "OK", 2) == 0;
}

/* Whether the simulator's log of received units holds the command text (log lines read
   "  #<seq> <text> [<hex>] <what it did>"). */
static int simReceived(const char* text) {
    static char reply[65536];
    char pattern[128];
    if (!simAsk("log 200", reply, sizeof reply, 10000)) return 0;
    snprintf(pattern, sizeof pattern, " %s [", text);
    for (const char* line = strstr(reply, "\n  #"); line; line = strstr(line + 1, "\n  #")) {
        const char* blank = strchr(line + 4, ' ');
        const char* end = strchr(line + 1, '\n');
        if (blank && (!end || blank < end) && strncmp(blank, pattern, strlen(pattern)) == 0) return 1;
    }
    return 0;
}

/* How many of the simulator's logged units are the command text. */
static int simCount(const char* text) {
    static char reply[65536];
    char pattern[128];
    int n = 0;
    if (!simAsk("log 200", reply, sizeof reply, 10000)) return -1;
    snprintf(pattern, sizeof pattern, " %s [", text);
    for (const char* line = strstr(reply, "\n  #"); line; line = strstr(line + 1, "\n  #")) {
        const char* blank = strchr(line + 4, ' ');
        const char* end = strchr(line + 1, '\n');
        if (blank && (!end || blank < end) && strncmp(blank, pattern, strlen(pattern)) == 0) ++n;
    }
    return n;
}

static const int* g_thread; /* CCtlProtocol::thread, once bound */

/* Members of the link class as a host built against its declarations calls them. */
typedef void*(__attribute__((thiscall)) * ConstructorFn)(void* self);
typedef int(__attribute__((thiscall)) * SendCommandFn)(void* self, char* cmd, int len, int kind);
typedef int(__attribute__((thiscall)) * GetCpuCommandDataFn)(void* self, char* cmd, int len, int kind);

/* ---- The run ------------------------------------------------------------------------------ */

/* By name, and where ordinal is given also by ordinal: both must give the same address. */
static FARPROC bind(HMODULE dll, const char* name, int ordinal) {
    FARPROC byName = GetProcAddress(dll, name);
    if (ordinal) {
        FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(ordinal));
        check(byName && byOrdinal == byName, "%s resolves by name and by ordinal %d to the same address", name,
              ordinal);
        return byOrdinal;
    }
    if (!byName) check(0, "%s resolves by name", name);
    return byName;
}

int main(void) {
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
    check(writeText("\\Gen\\INI\\Path.ini",
                    "[INI Path]\r\nFunctionConfigPath=\\Gen\\INI\\Function.ini\r\n"
                    "LocalConfigPath=\\Gen\\INI\\LocalComm.ini\r\nPathIniPath=\\Gen\\INI\\PathConfig.ini\r\n") &&
              writeText("\\Gen\\INI\\Function.ini", "[Function]\r\nDemo Enable=0\r\n") &&
              writeText("\\Gen\\INI\\LocalComm.ini",
                        "[Communication]\r\nCommunication Type=1\r\n[Serial comm]\r\ncom=4\r\nbaud=19200\r\n"
                        "databit=8\r\nstopbit=1\r\nparity=none\r\n") &&
              writeText("\\Gen\\INI\\PathConfig.ini", "[LocalPath]\r\nTracePath=\\Trace\\\r\n"),
          "settings for a serial link on COM4");

    char reply[1024];
    check(simAsk("status", reply, sizeof reply, 20000) && strncmp(reply, "OK state=2 ", 11) == 0,
          "the simulator answers its control channel and is ready (state 2)");

    HMODULE dll = LoadLibraryA("Kestro.dll");
    check(dll != NULL, "LoadLibraryA(\"Kestro.dll\")");
    if (!dll) goto done;
    IntOfHwnd initGenerator = (IntOfHwnd)(void (*)(void))bind(dll, "IO_InitGenerator", 0);
    IntOfVoid commState = (IntOfVoid)(void (*)(void))bind(dll, "IO_GetCommState", 0);
    VoidOfVoid deleteRes = (VoidOfVoid)(void (*)(void))bind(dll, "IO_DeleteRes", 0);
    IntOfByteInt radKV = (IntOfByteInt)(void (*)(void))bind(dll, "IO_RadKVValue", 6);
    IntOfByteInt radMA = (IntOfByteInt)(void (*)(void))bind(dll, "IO_RadMAValue", 8);
    IntOfByteInt fluoKV = (IntOfByteInt)(void (*)(void))bind(dll, "IO_FluoKVValue", 15);
    IntOfByte anodeHeat = (IntOfByte)(void (*)(void))bind(dll, "IO_GetAnodeTubeHeat", 0);
    IntOfVoid genKW = (IntOfVoid)(void (*)(void))bind(dll, "IO_GetGenKW", 0);
    IntOfByteInt programMode = (IntOfByteInt)(void (*)(void))bind(dll, "IO_SetProgramMode", 0);
    IntOfVoid calibKV = (IntOfVoid)(void (*)(void))bind(dll, "IO_CalibGetKV", 0);
    if (!initGenerator || !commState || !deleteRes || !radKV || !radMA || !fluoKV || !anodeHeat || !genKW ||
        !programMode || !calibKV)
        goto unload;

    WNDCLASSA cls;
    memset(&cls, 0, sizeof cls);
    cls.lpfnWndProc = windowProc;
    cls.hInstance = GetModuleHandleA(NULL);
    cls.lpszClassName = "KestroSessionTest";
    RegisterClassA(&cls);
    HWND window = CreateWindowExA(0, cls.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, cls.hInstance, NULL);
    check(window != NULL, "message-only window created");

    /* Start-up: status and data bags answered by the simulator. */
    DWORD start = GetTickCount();
    int init = initGenerator(window);
    check(init == 1, "IO_InitGenerator(hwnd) = %d against the simulator on COM4 (%lu ms)", init,
          (unsigned long)(GetTickCount() - start));
    check(commState() == 1, "IO_GetCommState() = 1 after start-up");
    if (init != 1) goto closeWindow;

    /* Radiography values. */
    {
        int kv = radKV(0, 80);
        check(kv == 80, "IO_RadKVValue(0, 80) = %d", kv);
        check(simReceived("KV080"), "the simulator received the command \"KV080\"");
        check(!simReceived("KV081"), "and no \"KV081\" (the log check tells commands apart)");
        check(simValue("KV") == 80, "the simulator holds KV 80");
        int ma = radMA(0, 2000);
        check(ma == 2000 && simValue("MA") == 2000, "IO_RadMAValue(0, 2000) = %d, the simulator holds MA 2000", ma);
        ma = radMA(1, 1);
        check(ma == 2500 && simValue("MA") == 2500, "IO_RadMAValue(1, 1) = %d: one step up the ladder to 2500",
              ma);
    }
    /* The exported class members on an object in the host's memory: the constructor, a
       member and a virtual call through the exported table reach the running link. */
    {
        ConstructorFn construct = (ConstructorFn)(void (*)(void))GetProcAddress(dll, "??0CCtlProtocol@@QAE@XZ");
        SendCommandFn sendCommand =
            (SendCommandFn)(void (*)(void))GetProcAddress(dll, "?SendCommand@CCtlProtocol@@QAEHPADHH@Z");
        const int* running = (const int*)GetProcAddress(dll, "?thread@CCtlProtocol@@2HA");
        check(construct && sendCommand && running, "the CCtlProtocol members and its thread flag are exported");
        if (construct && sendCommand && running) {
            void* object[16];
            check(construct(object) == object, "the constructor on host memory returns this");
            check(*running == 1, "CCtlProtocol::thread reads 1 while the link runs");
            const int before = simCount("KV080");
            char kv080[] = "KV080";
            const int sent = sendCommand(object, kv080, 5, 0);
            check(sent == 7, "CCtlProtocol::SendCommand(\"KV080\", 5, 0) through __thiscall sends the 7-byte frame (%d)",
                  sent);
            int after = simCount("KV080");
            for (DWORD t0 = GetTickCount(); after == before && GetTickCount() - t0 < 3000; after = simCount("KV080")) pump(20);
            check(before >= 0 && after == before + 1, "the simulator received \"KV080\" once more (%d -> %d)", before,
                  after);
            /* Slot 12 of the table: GetCpuCommandData, the acknowledged sender. */
            GetCpuCommandDataFn viaTable = (GetCpuCommandDataFn)((void* const*)object[0])[12];
            char kvq[] = "KV?";
            check(viaTable(object, kvq, 3, 0) == 1, "GetCpuCommandData(\"KV?\") through the exported virtual table");
            check(simReceived("KV?"), "the simulator received \"KV?\"");
        }
        g_thread = running;
    }

    /* Fluoroscopy. */
    {
        int kv = fluoKV(0, 90);
        check(kv == 90 && simValue("FLK") == 90, "IO_FluoKVValue(0, 90) = %d, the simulator holds FLK 90", kv);
        kv = fluoKV(1, 2);
        check(kv == 95 && simValue("FLK") == 95, "IO_FluoKVValue(1, 2) = %d: five steps up", kv);
    }
    /* Status: values the simulator is given are what the queries return. */
    {
        check(simOk("set HE 37") && simOk("set KW 64"), "the simulator holds heat 37 and 64 kW");
        int heat = anodeHeat(1);
        check(heat == 37, "IO_GetAnodeTubeHeat(1) = %d", heat);
        check(anodeHeat(0) == 37, "IO_GetAnodeTubeHeat(0) gives the value read last");
        int kw = genKW();
        check(kw == 64, "IO_GetGenKW() = %d", kw);
    }
    /* The GI facade through __stdcall pointers: a validated setter, ms in real units,
       the version text. */
    typedef int(WINAPI * IntOfIntIntPtr)(int, int*);
    typedef int(WINAPI * IntOfFloatPtr)(float*);
    typedef int(WINAPI * IntOfDap)(double, double, double*);
    typedef const char*(WINAPI * TextOfVoid)(void);
    typedef const char*(WINAPI * TextOfText)(const char*);
    IntOfDap giDap = (IntOfDap)(void (*)(void))bind(dll, "GIGetDAPValueAfterExposure", 552);
    {
        IntOfIntIntPtr giSetKV = (IntOfIntIntPtr)(void (*)(void))bind(dll, "GISetKV", 506);
        IntOfFloatPtr giGetMS = (IntOfFloatPtr)(void (*)(void))bind(dll, "GIGetMS", 517);
        TextOfVoid giVersion = (TextOfVoid)(void (*)(void))bind(dll, "GIGetKestroDLLVersion", 550);
        TextOfText gsiFileVersion = (TextOfText)(void (*)(void))bind(dll, "GSIGetFileVersion", 1068);
        if (giSetKV && giGetMS && giVersion && gsiFileVersion && giDap) {
            int kv = 0;
            int r = giSetKV(85, &kv);
            check(r == 0 && kv == 85 && simValue("KV") == 85, "GISetKV(85) = %d, out %d, the simulator holds KV 85", r,
                  kv);
            r = giSetKV(151, &kv);
            check(r == 2 && kv == 85, "GISetKV(151) refused with %d, out untouched", r);
            check(giSetKV(80, &kv) == 0 && kv == 80, "GISetKV(80) back to 80 kV");
            float ms = 0;
            check(simOk("set MS 12"), "the simulator holds MS 12");
            r = giGetMS(&ms);
            check(r == 1 && ms == 1.25f, "GIGetMS = %d gives %.2f ms for the wire value 12", r, (double)ms);
            check(simOk("set MS 1000"), "the simulator holds MS 1000 again");
            double dap = -7.0;
            r = giDap(-1.0, 100.0, &dap);
            check(r == 0 && dap == -7.0, "GIGetDAPValueAfterExposure(-1.0, 100.0) refused, out untouched");
            const char* version = giVersion();
            unsigned a, b, c, d;
            char rest;
            check(version && sscanf(version, "%u.%u.%u.%u%c", &a, &b, &c, &d, &rest) == 4,
                  "GIGetKestroDLLVersion() = \"%s\" (a.b.c.d)", version ? version : "(null)");
            char dllPath[MAX_PATH * 2];
            pathOf(dllPath, sizeof dllPath, "\\Kestro.dll");
            char copy[64];
            snprintf(copy, sizeof copy, "%s", version ? version : "");
            const char* fileVersion = gsiFileVersion(dllPath);
            check(fileVersion && strcmp(fileVersion, copy) == 0, "GSIGetFileVersion(Kestro.dll) = \"%s\", the same",
                  fileVersion ? fileVersion : "(null)");
        }
    }
    /* Program mode and calibration. */
    {
        check(simOk("set GM 2"), "the simulator is in program mode 2");
        int mode = programMode(1, 0);
        check(mode == 2, "IO_SetProgramMode(1, 0) queries the mode: %d", mode);
        mode = programMode(0, 1);
        check(mode == 1 && simValue("GM") == 1, "IO_SetProgramMode(0, 1) = %d, the simulator holds GM 1", mode);
        mode = programMode(0, 0);
        check(mode == 0 && simValue("GM") == 0, "IO_SetProgramMode(0, 0) = %d, back to operation", mode);
        int kv = calibKV();
        check(kv == 80 && kv == simValue("KV"), "IO_CalibGetKV() = %d, the kV the generator holds", kv);
    }

    /* The generator's radiography handshake: every step echoed, every step notified. */
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
                printf("     no WM_GEN_NOTIFY (%lu, %ld) after the ones before it\n", (unsigned long)steps[i].wParam,
                       (long)steps[i].lParam);
                inOrder = 0;
            } else {
                from = at + 1;
            }
        }
        check(inOrder, "WM_GEN_NOTIFY (2,2), (2,3), (1,2), (1,1), (2,1) arrive in that order");
        check(simAsk("wait 10000", reply, sizeof reply, 15000) && strstr(reply, "expose completed") &&
                  !strstr(reply, "no-echo"),
              "the simulator's handshake completed with every step echoed");
        check(simValue("ST") == 2, "the generator is ready again");
    }

    /* The dose-area product of that exposure: two doubles by value and a pointer. */
    if (giDap) {
        double d25 = 0, d50 = 0, a50 = 0;
        int r1 = giDap(25.0, 100.0, &d25), r2 = giDap(25.0, 50.0, &d50), r3 = giDap(50.0, 100.0, &a50);
        check(r1 == 1 && r2 == 1 && r3 == 1 && d25 > 0, "GIGetDAPValueAfterExposure after the exposure: %.3f", d25);
        check(r1 == 1 && fabs(d50 - 4 * d25) < 1e-9 * d50 && fabs(a50 - 2 * d25) < 1e-9 * a50,
              "half the height gives four times, twice the area twice the value (%.3f, %.3f)", d50, a50);
    }

    /* A generator error, posted by the library's reader thread. */
    {
        pump(0);
        int from = g_seenCount;
        check(simOk("error 203"), "the simulator reports error 203");
        check(waitNotice(6, 203, from, 10000) >= 0, "WM_GEN_NOTIFY (6, 203) after the generator sent ER203");
    }

    {
        SYSTEMTIME st;
        char name[64];
        GetLocalTime(&st);
        snprintf(name, sizeof name, "\\Trace\\%4d%02d%02d.txt", st.wYear, st.wMonth, st.wDay);
        char* text = readAll(name);
        check(text != NULL, "trace file %s exists beside the host", name);
        check(text && strstr(text, "   Generator Initialized !\r\n"), "trace has \"Generator Initialized !\"");
        check(text && strstr(text, "   UI sent command            :  KV080\r\n"),
              "trace has \"UI sent command            :  KV080\"");
        check(text && strstr(text, "Got command from GEN :"), "trace has a message from the generator");
        free(text);
    }
closeWindow:
    if (window) DestroyWindow(window);

unload:
    if (deleteRes) deleteRes();
    if (g_thread) check(*g_thread == 0, "CCtlProtocol::thread reads 0 after IO_DeleteRes");
    check(FreeLibrary(dll) != 0, "IO_DeleteRes and FreeLibrary return");
done:
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed > 100 ? 100 : g_failed;
}
