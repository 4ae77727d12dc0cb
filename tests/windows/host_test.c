/* A host program for Kestro.dll, as a Windows application would be: it lays out its
   settings files beside itself, loads the DLL at run time, binds exports by name and by
   ordinal, calls them through __stdcall pointers, receives notifications in a
   message-only window and looks at the trace file the DLL writes.

   host_test.exe <export ordinals file> <expected file version> [required export...]

   The ordinals file lists "ordinal name" for every slot of the table (C exports and
   class members). An export that
   the DLL has must sit at its ordinal; an ordinal of the table whose export is not built
   yet, and every ordinal outside the table, must resolve to nothing. The named exports
   after the version must be present (those this program calls). Prints a summary; the
   exit code is the number of failed checks (capped at 100). */

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define WM_GEN_NOTIFY 0x7E8
#define TABLE_SLOTS 1068

/* A string object as the framework lays it out: one pointer to characters that follow a
   header of reference count, length and allocated length. IO_GetErrorMessage constructs
   one at the hidden result pointer; the caller releases it (msvcrt's heap). */
typedef struct HostString {
    char* text;
} HostString;

static void releaseHostString(HostString* s) {
    if (!s->text) return;
    long* refs = (long*)(s->text - 3 * sizeof(long));
    if (*refs >= 0 && --*refs == 0) free(refs);
    s->text = NULL;
}

typedef int(WINAPI* IntOfVoid)(void);
typedef int(WINAPI* IntOfInt)(int);
typedef int(WINAPI* IntOfHwnd)(HWND);
typedef void(WINAPI* VoidOfVoid)(void);
typedef unsigned char*(WINAPI* BytesOfInt)(int);
typedef HostString*(WINAPI* StringOfInt)(HostString*, int);
typedef const char*(WINAPI* TextOfIntPtr)(int, int*);
typedef void(WINAPI* TraceFn)(const char*, int, const char*);
typedef int(WINAPI* IntOfKV)(int, int);
typedef int(WINAPI* InitCommFn)(UINT, UINT, UINT, UINT, UINT, UINT, int);

static int g_passed;
static int g_failed;

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

static void note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    printf("note ");
    vprintf(format, args);
    printf("\n");
    va_end(args);
}

/* ---- Files beside the executable ---------------------------------------------------- */

static char g_dir[MAX_PATH];

static void pathOf(char* out, size_t size, const char* relative) {
    snprintf(out, size, "%s%s", g_dir, relative);
}

static int writeText(const char* relative, const char* content) {
    char path[MAX_PATH * 2];
    pathOf(path, sizeof path, relative);
    FILE* f = fopen(path, "wb");
    if (!f) return 0;
    fputs(content, f);
    fclose(f);
    return 1;
}

static int exists(const char* relative) {
    char path[MAX_PATH * 2];
    pathOf(path, sizeof path, relative);
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
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

static void layOutSettings(void) {
    char dir[MAX_PATH * 2];
    pathOf(dir, sizeof dir, "\\Gen");
    CreateDirectoryA(dir, NULL);
    pathOf(dir, sizeof dir, "\\Gen\\INI");
    CreateDirectoryA(dir, NULL);
    pathOf(dir, sizeof dir, "\\Trace");
    CreateDirectoryA(dir, NULL);
    int ok = writeText("\\Gen\\INI\\Path.ini",
                       "[INI Path]\r\n"
                       "FunctionConfigPath=\\Gen\\INI\\Function.ini\r\n"
                       "LocalConfigPath=\\Gen\\INI\\LocalComm.ini\r\n"
                       "PathIniPath=\\Gen\\INI\\PathConfig.ini\r\n") &&
             writeText("\\Gen\\INI\\Function.ini", "[Function]\r\nDemo Enable=1\r\nTotal Trace=1\r\n") &&
             writeText("\\Gen\\INI\\LocalComm.ini",
                       "[Communication]\r\nCommunication Type=1\r\n[Serial comm]\r\ncom=1\r\nbaud=19200\r\n") &&
             writeText("\\Gen\\INI\\PathConfig.ini",
                       "[LocalPath]\r\nTracePath=\\Trace\\\r\n[ErrorCodePath]\r\nPCInfoPath=\\Gen\\INI\\Errors.ini\r\n") &&
             writeText("\\Gen\\INI\\Errors.ini",
                       "[Error Messages]\r\n0=2\r\n1=12:Tube overheated\r\n2=  \"Quoted text\"  \r\n") &&
             /* two old trace files; with "Total Trace" 1 each open removes the oldest */
             writeText("\\Trace\\20000101.txt", "old\r\n") && writeText("\\Trace\\20000102.txt", "old\r\n");
    check(ok, "settings files written under %s", g_dir);
}

/* ---- Export table --------------------------------------------------------------------- */

typedef struct Entry {
    int ordinal;
    char name[256];
} Entry;

static Entry g_table[400];
static int g_tableSize;

static int loadTable(const char* file) {
    FILE* f = fopen(file, "r");
    if (!f) return 0;
    while (g_tableSize < (int)(sizeof g_table / sizeof g_table[0]) &&
           fscanf(f, "%d %255s", &g_table[g_tableSize].ordinal, g_table[g_tableSize].name) == 2)
        ++g_tableSize;
    fclose(f);
    return g_tableSize;
}

static const char* tableName(int ordinal) {
    for (int i = 0; i < g_tableSize; ++i)
        if (g_table[i].ordinal == ordinal) return g_table[i].name;
    return NULL;
}

static void checkBinding(HMODULE dll) {
    int present = 0, absent = 0, misplaced = 0, strays = 0, decorated = 0;
    for (int ordinal = 1; ordinal <= TABLE_SLOTS + 32; ++ordinal) {
        FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(ordinal));
        const char* name = tableName(ordinal);
        if (!name) {
            if (byOrdinal) {
                ++strays;
                printf("     ordinal %d is not in the table but resolves\n", ordinal);
            }
            continue;
        }
        FARPROC byName = GetProcAddress(dll, name);
        if (byName) {
            ++present;
            if (byOrdinal != byName) {
                ++misplaced;
                printf("     %s is not at ordinal %d\n", name, ordinal);
            }
        } else {
            ++absent;
            if (byOrdinal) {
                ++misplaced;
                printf("     ordinal %d resolves although %s is missing\n", ordinal, name);
            }
        }
        char withSuffix[288];
        for (int bytes = 0; bytes <= 64; bytes += 4) {
            snprintf(withSuffix, sizeof withSuffix, "%s@%d", name, bytes);
            if (GetProcAddress(dll, withSuffix)) ++decorated;
        }
    }
    check(present > 0 && misplaced == 0, "%d of %d table exports present, each at its ordinal (%d not built yet)",
          present, g_tableSize, absent);
    check(strays == 0, "ordinals outside the table (212, 500, 1004, 1057, ...) resolve to nothing");
    check(decorated == 0, "no decorated (Name@N) export names");
    check(GetProcAddress(dll, MAKEINTRESOURCEA(212)) == NULL && GetProcAddress(dll, MAKEINTRESOURCEA(500)) == NULL &&
              GetProcAddress(dll, MAKEINTRESOURCEA(1004)) == NULL && GetProcAddress(dll, MAKEINTRESOURCEA(1057)) == NULL,
          "ordinals 212, 500, 1004 and 1057 are empty");
    static const struct {
        int ordinal;
        const char* name;
    } landmarks[] = {{1, "IO_GetModelPointerByte"}, {2, "IO_InitDLL"}, {3, "IO_ResetGen"}, {4, "IO_SetMsghWnd"},
                     {6, "IO_RadKVValue"},          {505, "GIGetKV"},   {1011, "GSIInitConsole"}};
    for (size_t i = 0; i < sizeof landmarks / sizeof landmarks[0]; ++i) {
        FARPROC byName = GetProcAddress(dll, landmarks[i].name);
        FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(landmarks[i].ordinal));
        if (byName)
            check(byOrdinal == byName, "ordinal %d binds %s", landmarks[i].ordinal, landmarks[i].name);
        else
            note("%s (ordinal %d) is not built yet; its ordinal is %s", landmarks[i].name, landmarks[i].ordinal,
                 byOrdinal ? "NOT empty" : "empty");
    }
}

/* ---- Message-only window ------------------------------------------------------------- */

#define MAX_SEEN 64
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
        }
        ++g_seenCount;
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static HWND createMessageWindow(void) {
    WNDCLASSA cls;
    memset(&cls, 0, sizeof cls);
    cls.lpfnWndProc = windowProc;
    cls.hInstance = GetModuleHandleA(NULL);
    cls.lpszClassName = "KestroHostTest";
    if (!RegisterClassA(&cls)) return NULL;
    return CreateWindowExA(0, cls.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, cls.hInstance, NULL);
}

/* Dispatches posted messages until one (wParam, lParam) arrives or the deadline passes. */
static int waitForNotification(WPARAM wParam, LPARAM lParam, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        for (int i = 0; i < g_seenCount && i < MAX_SEEN; ++i)
            if (g_seen[i].wParam == wParam && g_seen[i].lParam == lParam) return 1;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return 0;
        MsgWaitForMultipleObjects(0, NULL, FALSE, timeoutMs - elapsed, QS_POSTMESSAGE);
    }
}

/* ---- The run ------------------------------------------------------------------------------ */

static FARPROC need(HMODULE dll, const char* name) {
    FARPROC f = GetProcAddress(dll, name);
    if (!f) check(0, "export %s resolves by name", name);
    return f;
}

static void todaysTraceName(char* out, size_t size) {
    SYSTEMTIME st;
    GetLocalTime(&st);
    snprintf(out, size, "\\Trace\\%4d%02d%02d.txt", st.wYear, st.wMonth, st.wDay);
}

/* The line's time stamp: "yyyy-mm-dd hh:mm:ss:mmm" then three blanks. */
static int stampedLineWith(const char* text, const char* line) {
    const char* hit = strstr(text, line);
    if (!hit || hit - text < 26) return 0;
    const char* stamp = hit - 26;
    if (stamp != text && stamp[-1] != '\n') return 0;
    return stamp[4] == '-' && stamp[7] == '-' && stamp[10] == ' ' && stamp[13] == ':' && stamp[16] == ':' &&
           stamp[19] == ':' && memcmp(stamp + 23, "   ", 3) == 0;
}

int main(int argc, char** argv) {
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc < 3) {
        fprintf(stderr, "usage: host_test <export ordinals file> <expected file version> [required export...]\n");
        return 2;
    }
    DWORD n = GetModuleFileNameA(NULL, g_dir, sizeof g_dir);
    while (n > 0 && g_dir[n - 1] != '\\') --n;
    if (n > 0) --n;
    g_dir[n] = '\0';

    loadTable(argv[1]);
    check(g_tableSize > 0, "export table read from %s (%d entries)", argv[1], g_tableSize);
    layOutSettings();

    /* The DLL reads the settings while it loads, so they exist first. */
    HMODULE dll = LoadLibraryA("Kestro.dll");
    check(dll != NULL, "LoadLibraryA(\"Kestro.dll\") (error %lu)", dll ? 0ul : (unsigned long)GetLastError());
    if (!dll) goto done;

    for (int i = 3; i < argc; ++i) check(GetProcAddress(dll, argv[i]) != NULL, "required export %s", argv[i]);
    checkBinding(dll);

    /* Version resource of the DLL itself. */
    {
        char path[MAX_PATH];
        GetModuleFileNameA(dll, path, sizeof path);
        DWORD ignored = 0, size = GetFileVersionInfoSizeA(path, &ignored);
        char version[64] = "";
        if (size) {
            void* block = malloc(size);
            VS_FIXEDFILEINFO* info = NULL;
            UINT length = 0;
            if (GetFileVersionInfoA(path, 0, size, block) && VerQueryValueA(block, "\\", (void**)&info, &length) && info)
                snprintf(version, sizeof version, "%u.%u.%u.%u", HIWORD(info->dwFileVersionMS),
                         LOWORD(info->dwFileVersionMS), HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
            free(block);
        }
        check(strcmp(version, argv[2]) == 0, "file version of Kestro.dll is %s (expected %s)", version, argv[2]);
    }

    IntOfInt errNumberReceived = (IntOfInt)(void (*)(void))need(dll, "IO_GetErrNumberUIReceived");
    IntOfVoid thermalCount = (IntOfVoid)(void (*)(void))need(dll, "IO_GetThermalErrorCount");
    IntOfInt setDllMode = (IntOfInt)(void (*)(void))need(dll, "IO_SetDllMode");
    StringOfInt errorMessage = (StringOfInt)(void (*)(void))need(dll, "IO_GetErrorMessage");
    TextOfIntPtr errorInformation = (TextOfIntPtr)(void (*)(void))need(dll, "GIGetGenErrorInformation");
    TraceFn writeTrace = (TraceFn)(void (*)(void))need(dll, "GSIWriteTrace");
    VoidOfVoid openTestLog = (VoidOfVoid)(void (*)(void))need(dll, "IO_OpenTestLog");
    IntOfHwnd initGenerator = (IntOfHwnd)(void (*)(void))need(dll, "IO_InitGenerator");
    BytesOfInt modelPointer = (BytesOfInt)(void (*)(void))need(dll, "IO_GetModelPointerByte");
    VoidOfVoid deleteRes = (VoidOfVoid)(void (*)(void))need(dll, "IO_DeleteRes");
    if (!errNumberReceived || !thermalCount || !setDllMode || !errorMessage || !errorInformation || !writeTrace ||
        !openTestLog || !initGenerator || !modelPointer || !deleteRes)
        goto unload;

    /* Calls through __stdcall pointers: arguments arrive, results come back, and the
       stack stays balanced across many calls (a wrong convention would crash here). */
    {
        int sum = 0;
        for (int i = 0; i < 10000; ++i) sum += errNumberReceived(i) == i;
        check(sum == 10000, "IO_GetErrNumberUIReceived(n) returns n over 10000 calls");
        check(thermalCount() == 0, "IO_GetThermalErrorCount() is 0 after load");
        check(setDllMode(3) == 0 && setDllMode(-1) == 0, "IO_SetDllMode refuses 3 and -1");
        check(setDllMode(1) == 1 && setDllMode(0) == 1, "IO_SetDllMode accepts 1 and 0");
    }

    /* Error texts come from the error-message file named by the settings. */
    {
        HostString first = {NULL}, second = {NULL}, none = {NULL};
        const int atFirst = errorMessage(&first, 1) == &first;
        const int atSecond = errorMessage(&second, 2) == &second;
        const int atNone = errorMessage(&none, 74) == &none;
        check(atFirst && first.text && strcmp(first.text, "12:Tube overheated") == 0,
              "IO_GetErrorMessage(1) = \"%s\", built at the result pointer", first.text ? first.text : "(null)");
        check(atSecond && second.text && strcmp(second.text, "Quoted text") == 0,
              "profile values are trimmed and unquoted: IO_GetErrorMessage(2) = \"%s\"",
              second.text ? second.text : "(null)");
        check(atNone && none.text && none.text[0] == '\0', "IO_GetErrorMessage(74) is empty");
        releaseHostString(&first);
        releaseHostString(&second);
        releaseHostString(&none);
        int number = -1;
        const char* info = errorInformation(1, &number);
        check(number == 12 && info && strcmp(info, "Tube overheated") == 0,
              "GIGetGenErrorInformation(1) gives 12 and \"%s\"", info ? info : "(null)");
    }

    /* Trace file of the day under the configured trace directory; the open at load and
       this second open each removed the oldest old file ("Total Trace" 1). */
    char traceName[64];
    todaysTraceName(traceName, sizeof traceName);
    openTestLog();
    writeTrace("Host line", 7, "-X");
    {
        char* text = readAll(traceName);
        check(text != NULL, "trace file %s exists", traceName);
        if (text) {
            check(stampedLineWith(text, "Set Mode :  1\r\n"), "trace has the stamped line \"Set Mode :  1\"");
            check(stampedLineWith(text, "Host line 7-X\r\n"), "trace has the stamped line \"Host line 7-X\"");
            free(text);
        }
        check(!exists("\\Trace\\20000101.txt") && !exists("\\Trace\\20000102.txt"),
              "old trace files purged, one per open");
    }

    /* Serial link through COM1, which the test maps to a pseudo-terminal whose far end
       records what it receives and never answers. */
    if (getenv("KESTRO_TEST_COM1") && *getenv("KESTRO_TEST_COM1")) {
        InitCommFn initComm = (InitCommFn)(void (*)(void))need(dll, "IO_InitComm");
        IntOfInt closeComm = (IntOfInt)(void (*)(void))need(dll, "IO_CloseComm");
        IntOfInt initDll = (IntOfInt)(void (*)(void))need(dll, "IO_InitDLL");
        if (initComm && closeComm && initDll) {
            check(initComm(200, 19200, 0, 8, 1, 512, 1) == 0, "IO_InitComm on COM200 (no such port) fails");
            check(initComm(1, 19200, 0, 8, 1, 512, 1) == 1, "IO_InitComm opens COM1");
            DWORD start = GetTickCount();
            int started = initDll(1);
            check(started == -2, "IO_InitDLL(1) = %d with a silent generator (expected -2), after %lu ms", started,
                  (unsigned long)(GetTickCount() - start));
            check(closeComm(1) == 1, "IO_CloseComm closes COM1");
            check(initComm(1, 9600, 2, 7, 3, 512, 1) == 1 && closeComm(1) == 1,
                  "COM1 opens again with other line settings, and closes");
            char* text = readAll(traceName);
            check(text && stampedLineWith(text, "Get ST during init gen failed!!\r\n"),
                  "trace has \"Get ST during init gen failed!!\"");
            free(text);
        }
    } else {
        note("KESTRO_TEST_COM1 not set: serial checks skipped");
    }

    /* Start-up in demo mode with a message-only window registered. */
    HWND window = createMessageWindow();
    check(window != NULL, "message-only window created (error %lu)", window ? 0ul : (unsigned long)GetLastError());
    int init = initGenerator(window);
    check(init == 1, "IO_InitGenerator(hwnd) = %d in demo mode", init);
    check(modelPointer(5) != NULL, "IO_GetModelPointerByte(5) is not NULL");
    check(modelPointer(0) == NULL || modelPointer(0) != modelPointer(5), "packets 0 and 5 are distinct");

    writeTrace("Demo line", -1, "");
    {
        char* text = readAll(traceName);
        check(text && !strstr(text, "Demo line"), "GSIWriteTrace writes nothing in demo mode");
        free(text);
    }

    /* A notification: in demo mode an out-of-range kV is refused with error 203. */
    {
        IntOfKV radKV = (IntOfKV)(void (*)(void))GetProcAddress(dll, "IO_RadKVValue");
        if (radKV) {
            radKV(0, 200);
            check(waitForNotification(6, 203, 5000), "WM_GEN_NOTIFY (6, 203) received after IO_RadKVValue(0, 200)");
        } else {
            note("IO_RadKVValue is not built yet: no export posts in demo mode, notification check skipped");
        }
    }
    if (window) DestroyWindow(window);

unload:
    if (deleteRes) deleteRes();
    check(FreeLibrary(dll) != 0, "IO_DeleteRes and FreeLibrary return");

done:
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed > 100 ? 100 : g_failed;
}
