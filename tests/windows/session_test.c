/* A serial session under Wine: COM4 is mapped to the pseudo-terminal that kestro-sim
   serves. The host starts the generator link, reports that it is up by creating the file
   "initialized" beside itself, and then waits in its message-only window for the
   notification of the generator error that the test script makes the simulator send
   ("ER203" -> WM_GEN_NOTIFY (6, 203)).

   session_test.exe   (prints a summary; the exit code is the number of failures) */

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define WM_GEN_NOTIFY 0x7E8

typedef int(WINAPI* IntOfVoid)(void);
typedef int(WINAPI* IntOfHwnd)(HWND);
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

static int writeText(const char* relative, const char* content) {
    char path[MAX_PATH * 2];
    snprintf(path, sizeof path, "%s%s", g_dir, relative);
    FILE* f = fopen(path, "wb");
    if (!f) return 0;
    fputs(content, f);
    fclose(f);
    return 1;
}

static char* readAll(const char* relative) {
    char path[MAX_PATH * 2];
    snprintf(path, sizeof path, "%s%s", g_dir, relative);
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

static int g_seen6;

static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_GEN_NOTIFY) {
        printf("     WM_GEN_NOTIFY (%lu, %ld)\n", (unsigned long)wParam, (long)lParam);
        if (wParam == 6 && lParam == 203) g_seen6 = 1;
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int main(void) {
    setvbuf(stdout, NULL, _IONBF, 0);
    DWORD n = GetModuleFileNameA(NULL, g_dir, sizeof g_dir);
    while (n > 0 && g_dir[n - 1] != '\\') --n;
    if (n > 0) --n;
    g_dir[n] = '\0';

    char dir[MAX_PATH * 2];
    snprintf(dir, sizeof dir, "%s\\Gen", g_dir);
    CreateDirectoryA(dir, NULL);
    snprintf(dir, sizeof dir, "%s\\Gen\\INI", g_dir);
    CreateDirectoryA(dir, NULL);
    check(writeText("\\Gen\\INI\\Path.ini",
                    "[INI Path]\r\nFunctionConfigPath=\\Gen\\INI\\Function.ini\r\n"
                    "LocalConfigPath=\\Gen\\INI\\LocalComm.ini\r\nPathIniPath=\\Gen\\INI\\PathConfig.ini\r\n") &&
              writeText("\\Gen\\INI\\Function.ini", "[Function]\r\nDemo Enable=0\r\n") &&
              writeText("\\Gen\\INI\\LocalComm.ini",
                        "[Communication]\r\nCommunication Type=1\r\n[Serial comm]\r\ncom=4\r\nbaud=19200\r\n"
                        "databit=8\r\nstopbit=1\r\nparity=none\r\n") &&
              writeText("\\Gen\\INI\\PathConfig.ini", "[LocalPath]\r\nTracePath=\\Trace\\\r\n"),
          "settings for a serial link on COM4");

    HMODULE dll = LoadLibraryA("Kestro.dll");
    check(dll != NULL, "LoadLibraryA(\"Kestro.dll\")");
    if (!dll) goto done;
    IntOfHwnd initGenerator = (IntOfHwnd)(void (*)(void))GetProcAddress(dll, "IO_InitGenerator");
    IntOfVoid commState = (IntOfVoid)(void (*)(void))GetProcAddress(dll, "IO_GetCommState");
    VoidOfVoid deleteRes = (VoidOfVoid)(void (*)(void))GetProcAddress(dll, "IO_DeleteRes");
    check(initGenerator && commState && deleteRes, "exports resolve");
    if (!initGenerator || !commState || !deleteRes) goto unload;

    WNDCLASSA cls;
    memset(&cls, 0, sizeof cls);
    cls.lpfnWndProc = windowProc;
    cls.hInstance = GetModuleHandleA(NULL);
    cls.lpszClassName = "KestroSessionTest";
    RegisterClassA(&cls);
    HWND window = CreateWindowExA(0, cls.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, cls.hInstance, NULL);
    check(window != NULL, "message-only window created");

    DWORD start = GetTickCount();
    int init = initGenerator(window);
    check(init == 1, "IO_InitGenerator(hwnd) = %d against the simulator on COM4 (%lu ms)", init,
          (unsigned long)(GetTickCount() - start));
    check(commState() == 1, "IO_GetCommState() = 1 after start-up");

    /* Tell the script to make the simulator report an error, then wait for it. */
    writeText("\\initialized", "1");
    start = GetTickCount();
    while (!g_seen6 && GetTickCount() - start < 15000) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        if (!g_seen6) MsgWaitForMultipleObjects(0, NULL, FALSE, 200, QS_POSTMESSAGE);
    }
    check(g_seen6, "WM_GEN_NOTIFY (6, 203) posted by the reader thread after the generator sent ER203");

    {
        SYSTEMTIME st;
        char name[64];
        GetLocalTime(&st);
        snprintf(name, sizeof name, "\\Trace\\%4d%02d%02d.txt", st.wYear, st.wMonth, st.wDay);
        char* text = readAll(name);
        check(text && strstr(text, "   Generator Initialized !\r\n"), "trace has \"Generator Initialized !\"");
        check(text && strstr(text, "Got command from GEN :"), "trace has a message from the generator");
        free(text);
    }
    if (window) DestroyWindow(window);

unload:
    if (deleteRes) deleteRes();
    check(FreeLibrary(dll) != 0, "IO_DeleteRes and FreeLibrary return");
done:
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed > 100 ? 100 : g_failed;
}
