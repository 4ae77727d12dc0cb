// The Win32 platform layer under Wine, called directly: window messages, profile calls,
// files and directories, host directory, message boxes, error texts, version resources.
//
// platform_test.exe <path of Kestro.dll> <its expected file version>
// (prints a summary; the exit code is the number of failures)

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform = kestro::platform;

namespace {

int g_passed = 0;
int g_failed = 0;

void check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    (ok ? g_passed : g_failed)++;
}

std::string exeDirectory() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string exe(path, n);
    return exe.substr(0, exe.find_last_of('\\'));
}

bool writeFile(const std::string& path, const std::string& content) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
    return true;
}

std::string join(std::vector<std::string> items) {
    std::sort(items.begin(), items.end());
    std::string out;
    for (const std::string& item : items) out += (out.empty() ? "" : ",") + item;
    return out;
}

void messages() {
    HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    check(window != nullptr, "message-only window created");
    check(platform::postMessage(window, 0x7E8, 6, 203), "postMessage to the window succeeds");
    MSG msg{};
    const bool got = PeekMessageA(&msg, window, 0x7E8, 0x7E8, PM_REMOVE) != 0;
    check(got && msg.message == 0x7E8 && msg.wParam == 6 && msg.lParam == 203,
          "the window's queue holds WM_GEN_NOTIFY (6, 203)");
    DestroyWindow(window);
    check(!platform::postMessage(window, 0x7E8, 1, 1), "postMessage to a destroyed window fails");
    check(!platform::postMessage(nullptr, 0x7E8, 1, 1), "postMessage to no window fails");
}

void profiles(const std::string& dir) {
    const std::string file = dir + "\\\\settings.ini";  // doubled separator on purpose
    check(platform::profileWriteString(file, "Serial comm", "com", "3"),
          "profileWriteString creates the file, section and key");
    check(platform::profileGetInt(file, "SERIAL COMM", "COM", 0) == 3, "section and key match without regard to case");
    check(platform::profileWriteString(file, "Serial comm", "baud", "9600") &&
              platform::profileGetInt(file, "Serial comm", "com", 0) == 3 &&
              platform::profileGetString(file, "Serial comm", "baud", "") == "9600",
          "a second key keeps the first");
    writeFile(dir + "\\quoted.ini", "[A]\r\nq=  \"two words\"  \r\nn=-7\r\nlong=abcdefgh\r\nempty=\r\n");
    const std::string quoted = dir + "\\quoted.ini";
    check(platform::profileGetString(quoted, "A", "q", "") == "two words", "values are trimmed and unquoted");
    check(platform::profileGetInt(quoted, "A", "n", 0) == -7, "negative integers");
    check(platform::profileGetString(quoted, "A", "long", "", 4) == "abc", "at most bufferSize-1 characters");
    check(platform::profileGetString(quoted, "A", "missing", "dflt") == "dflt" &&
              platform::profileGetInt(quoted, "A", "missing", 11) == 11 &&
              platform::profileGetInt(quoted, "A", "empty", 12) == 12,
          "missing and empty keys give the default");
    check(platform::profileGetString(dir + "\\none.ini", "A", "q", "d") == "d", "a missing file gives the default");
    check(!platform::profileWriteString(dir, "A", "q", "v") && platform::profileGetInt(dir, "A", "q", 5) == 5,
          "a directory is no settings file: the write fails, reads give the default");
}

void files(const std::string& dir) {
    const std::string traces = dir + "\\trace";
    check(platform::createDirectories(traces + "\\deeper\\\\level") && platform::createDirectories(traces),
          "createDirectories makes every level and accepts an existing one");
    for (const char* name : {"20000101.txt", "b.TXT", "c.txt1", "d.log"}) writeFile(traces + "\\" + name, "x");
    platform::createDirectories(traces + "\\e.txt");
    const std::string titles = join(platform::findFileTitles(traces, ".txt"));
    check(titles == "20000101,b", "findFileTitles lists files ending in .txt only: " + titles);
    check(platform::fileExists(traces + "\\20000101.txt") && !platform::fileExists(traces + "\\e.txt") &&
              !platform::fileExists(traces + "\\nothing.txt"),
          "fileExists: files yes, directories and missing names no");
    check(platform::deleteFile(traces + "\\20000101.txt") && !platform::fileExists(traces + "\\20000101.txt") &&
              !platform::deleteFile(traces + "\\20000101.txt"),
          "deleteFile removes a file once");
    writeFile(dir + "\\blocker", "x");
    check(!platform::createDirectories(dir + "\\blocker\\sub"), "createDirectories fails where a file is in the way");
    check(platform::findFileTitles(dir + "\\missing", ".txt").empty(), "a missing directory lists nothing");
}

void process(const std::string& dll, const std::string& version) {
    SetEnvironmentVariableA("KESTRO_HOST_DIR", "C:\\elsewhere");
    _putenv("KESTRO_HOST_DIR=C:\\elsewhere");
    check(platform::hostDirectory() == exeDirectory(),
          "hostDirectory is the executable's directory (KESTRO_HOST_DIR has no say): " + platform::hostDirectory());
    check(platform::nativePath("\\Gen\\INI\\Path.ini") == "\\Gen\\INI\\Path.ini", "nativePath keeps the path");

    const auto start = std::chrono::steady_clock::now();
    platform::sleepMs(60);
    const auto slept =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    check(slept >= 50, "sleepMs(60) sleeps (" + std::to_string(slept) + " ms)");
    SYSTEMTIME st;
    GetLocalTime(&st);
    const platform::LocalTime t = platform::localTimeNow();
    check(t.year == st.wYear && t.month == st.wMonth && t.day == st.wDay && t.hour == st.wHour &&
              t.millisecond >= 0 && t.millisecond < 1000,
          "localTimeNow is the local time");

    SetLastError(ERROR_FILE_NOT_FOUND);
    check(platform::lastErrorCode() == ERROR_FILE_NOT_FOUND, "lastErrorCode is GetLastError");
    const std::string text = platform::errorText(ERROR_FILE_NOT_FOUND);
    check(!text.empty() && text.rfind("error ", 0) != 0, "errorText(2) is the system's text: " + text);
    check(platform::errorText(0x2FFFFFFF) == "error 805306367", "errorText of an unknown code names the number");

    // The suppressed message box returns at once and prints one line on standard error
    // (the script counts it); without the variable it would wait for a click.
    platform::messageBox("Kestro test", "line one\nline two", platform::BoxIcon::Error);

    const std::string self = platform::modulePath();
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    check(self == exe, "modulePath of code linked into the program is the program: " + self);
    check(platform::fileVersion(self).empty(), "a file without a version resource has no version");
    check(platform::fileVersion(dll) == version, "fileVersion of Kestro.dll is " + platform::fileVersion(dll));
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc != 3) {
        std::fprintf(stderr, "usage: platform_test <path of Kestro.dll> <expected file version>\n");
        return 2;
    }
    const std::string dir = exeDirectory() + "\\platform-test";
    platform::createDirectories(dir);
    messages();
    profiles(dir);
    files(dir);
    process(argv[1], argv[2]);
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed > 100 ? 100 : g_failed;
}
