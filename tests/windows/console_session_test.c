/* The service console under Wine: COM5 is mapped to the pseudo-terminal of kestro-sim's
   console (kestro-sim --console --console-link <run>/com5). The host binds the console
   exports by name and by ordinal, opens the console with a message-only window, downloads
   one file of two blocks and follows the WM_CONSOLE_NOTIFY messages to the console's
   end byte, then closes the console.

   The simulator answers a block with ACK only when its checksum is right, and sends the
   end byte 0x04 only after the block with the end marker, so the last notification
   (length, length) shows that every byte arrived as the library framed it.

   console_session_test.exe   (prints a summary; the exit code is the number of failures) */

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define WM_CONSOLE_NOTIFY 0x7EA

typedef int(WINAPI* IntOfVoid)(void);
typedef int(WINAPI* IntOfHwnd)(HWND);
typedef void(WINAPI* VoidOfVoid)(void);
typedef void(WINAPI* UpDownload)(const char*, unsigned char, int);

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

static int writeBytes(const char* relative, const char* content, size_t size) {
    char path[MAX_PATH * 2];
    pathOf(path, sizeof path, relative);
    FILE* f = fopen(path, "wb");
    if (!f) return 0;
    size_t written = fwrite(content, 1, size, f);
    return fclose(f) == 0 && written == size;
}

static int writeText(const char* relative, const char* content) {
    return writeBytes(relative, content, strlen(content));
}

#define MAX_SEEN 64
static struct {
    WPARAM wParam;
    LPARAM lParam;
} g_seen[MAX_SEEN];
static int g_seenCount;

static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CONSOLE_NOTIFY) {
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

/* Waits until (wParam, lParam) has been notified; its index, or -1. */
static int waitNotice(WPARAM wParam, LPARAM lParam, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        pump(0);
        for (int i = 0; i < g_seenCount; ++i)
            if (g_seen[i].wParam == wParam && g_seen[i].lParam == lParam) return i;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return -1;
        pump(timeoutMs - elapsed < 50 ? timeoutMs - elapsed : 50);
    }
}

static FARPROC bind(HMODULE dll, const char* name, int ordinal) {
    FARPROC byName = GetProcAddress(dll, name);
    FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(ordinal));
    check(byName && byOrdinal == byName, "%s resolves by name and by ordinal %d to the same address", name, ordinal);
    return byName;
}

int main(void) {
    setvbuf(stdout, NULL, _IONBF, 0);
    DWORD n = GetModuleFileNameA(NULL, g_dir, sizeof g_dir);
    while (n > 0 && g_dir[n - 1] != '\\') --n;
    if (n > 0) --n;
    g_dir[n] = '\0';

    char dir[MAX_PATH * 2];
    const char* dirs[] = {"\\Gen", "\\Gen\\INI"};
    for (size_t i = 0; i < sizeof dirs / sizeof dirs[0]; ++i) {
        pathOf(dir, sizeof dir, dirs[i]);
        CreateDirectoryA(dir, NULL);
    }
    check(writeText("\\Gen\\INI\\Path.ini",
                    "[INI Path]\r\nFunctionConfigPath=\\Gen\\INI\\Function.ini\r\n"
                    "LocalConfigPath=\\Gen\\INI\\LocalComm.ini\r\nPathIniPath=\\Gen\\INI\\PathConfig.ini\r\n") &&
              writeText("\\Gen\\INI\\Function.ini", "[Function]\r\nDemo Enable=0\r\n") &&
              writeText("\\Gen\\INI\\LocalComm.ini",
                        "[Communication]\r\nCommunication Type=1\r\n[Serial comm]\r\ncom=5\r\nbaud=19200\r\n"
                        "databit=8\r\nstopbit=1\r\nparity=none\r\n") &&
              writeText("\\Gen\\INI\\PathConfig.ini", "[LocalPath]\r\nTracePath=\\Trace\\\r\n"),
          "settings for the console on COM5");

    /* 600 data bytes and the end marker: blocks of 513 and 93 bytes. */
    static char content[604];
    for (int i = 0; i < 600; ++i) content[i] = (char)('A' + i % 26);
    memcpy(content + 600, "****", 4);
    check(writeBytes("\\download.apr", content, sizeof content), "download file of 604 bytes");
    char file[MAX_PATH * 2];
    pathOf(file, sizeof file, "\\download.apr");

    HMODULE dll = LoadLibraryA("Kestro.dll");
    check(dll != NULL, "LoadLibraryA(\"Kestro.dll\")");
    if (!dll) goto done;
    IntOfHwnd initConsole = (IntOfHwnd)(void (*)(void))bind(dll, "GSIInitConsole", 1011);
    IntOfVoid closeConsole = (IntOfVoid)(void (*)(void))bind(dll, "GSICloseConsoleCommunication", 1012);
    UpDownload upDownload = (UpDownload)(void (*)(void))bind(dll, "GSIConsoleUpDownload", 1014);
    VoidOfVoid deleteRes = (VoidOfVoid)(void (*)(void))GetProcAddress(dll, "IO_DeleteRes");
    if (!initConsole || !closeConsole || !upDownload || !deleteRes) goto unload;

    WNDCLASSA cls;
    memset(&cls, 0, sizeof cls);
    cls.lpfnWndProc = windowProc;
    cls.hInstance = GetModuleHandleA(NULL);
    cls.lpszClassName = "KestroConsoleTest";
    RegisterClassA(&cls);
    HWND window = CreateWindowExA(0, cls.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, cls.hInstance, NULL);
    check(window != NULL, "message-only window created");

    DWORD start = GetTickCount();
    int opened = initConsole(window);
    check(opened == 1, "GSIInitConsole(hwnd) = %d on COM5", opened);
    if (opened != 1) goto closeWindow;

    upDownload(file, 0, 1);
    {
        static const struct {
            WPARAM wParam;
            LPARAM lParam;
        } steps[] = {{604, 512}, {604, 1024}, {604, 1536}, {604, 604}};
        int at = -1, inOrder = 1;
        for (size_t i = 0; i < sizeof steps / sizeof steps[0] && inOrder; ++i) {
            int found = waitNotice(steps[i].wParam, steps[i].lParam, 60000);
            if (found <= at) {
                printf("     no WM_CONSOLE_NOTIFY (%lu, %ld) after the ones before it\n",
                       (unsigned long)steps[i].wParam, (long)steps[i].lParam);
                inOrder = 0;
            }
            at = found;
        }
        check(inOrder, "WM_CONSOLE_NOTIFY (604,512), (604,1024), (604,1536), (604,604) in order (%lu ms)",
              (unsigned long)(GetTickCount() - start));
        int failures = 0;
        for (int i = 0; i < g_seenCount; ++i)
            if (g_seen[i].wParam == 1 && g_seen[i].lParam == 3) ++failures;
        check(failures == 0, "no give-up notification (1, 3)");
    }
    check(closeConsole() == 1, "GSICloseConsoleCommunication() = 1");

closeWindow:
    if (window) DestroyWindow(window);
unload:
    if (deleteRes) deleteRes();
    check(FreeLibrary(dll) != 0, "IO_DeleteRes and FreeLibrary return");
done:
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed > 100 ? 100 : g_failed;
}
