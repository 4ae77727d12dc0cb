// Win32 side of the platform seam: host directory, profile calls, time, files, window
// messages, message boxes, system error texts and the module's version resource.

#include "platform/platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace kestro::platform {
namespace {

// Narrow texts for the A functions, which want them zero-terminated.
std::string text(std::string_view s) { return std::string(s); }

bool endsWithNoCase(std::string_view name, std::string_view tail) {
    if (name.size() < tail.size()) return false;
    return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, name.data() + (name.size() - tail.size()),
                          static_cast<int>(tail.size()), tail.data(), static_cast<int>(tail.size())) == CSTR_EQUAL;
}

bool isDirectory(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// GetModuleFileNameA into a buffer that grows until the whole path fits.
std::string moduleFileName(HMODULE module) {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        DWORD n = GetModuleFileNameA(module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        if (path.size() >= 32768) return {};
        path.resize(path.size() * 2);
    }
}

bool messageBoxesSuppressed() {
    const char* value = std::getenv("KESTRO_NO_MESSAGE_BOX");
    return value && *value && !(value[0] == '0' && value[1] == '\0');
}

}  // namespace

// ---- Host directory and paths -------------------------------------------------------

std::string hostDirectory() {
    // The host is the process's executable; KESTRO_HOST_DIR is a POSIX convention for
    // interpreters and test runners and has no meaning here.
    std::string exe = moduleFileName(nullptr);
    std::size_t slash = exe.find_last_of("\\/");
    if (slash == std::string::npos) return ".";
    return exe.substr(0, slash);
}

std::string nativePath(std::string_view configuredPath) { return std::string(configuredPath); }

// ---- INI profile calls ---------------------------------------------------------------

std::size_t profilePathLimit() { return 259; }

// The system's profile calls read the files themselves; no size check is made here.
void setProfileWarningSink(void (*)(const std::string&)) {}

std::string profileGetString(const std::string& file, std::string_view section, std::string_view key,
                             std::string_view defaultValue, std::size_t bufferSize) {
    if (bufferSize == 0) return {};
    std::string buffer(bufferSize, '\0');
    DWORD n = GetPrivateProfileStringA(text(section).c_str(), text(key).c_str(), text(defaultValue).c_str(),
                                       buffer.data(), static_cast<DWORD>(bufferSize), file.c_str());
    buffer.resize(n < bufferSize ? n : bufferSize - 1);
    return buffer;
}

int profileGetInt(const std::string& file, std::string_view section, std::string_view key, int defaultValue) {
    return static_cast<int>(GetPrivateProfileIntA(text(section).c_str(), text(key).c_str(), defaultValue, file.c_str()));
}

bool profileWriteString(const std::string& file, std::string_view section, std::string_view key,
                        std::string_view value) {
    return WritePrivateProfileStringA(text(section).c_str(), text(key).c_str(), text(value).c_str(), file.c_str()) != 0;
}

// ---- Time ------------------------------------------------------------------------------

LocalTime localTimeNow() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    LocalTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.millisecond = st.wMilliseconds;
    return t;
}

std::int64_t currentTimeSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

void sleepMs(int milliseconds) {
    if (milliseconds > 0) Sleep(static_cast<DWORD>(milliseconds));
}

// ---- Files -------------------------------------------------------------------------------

std::vector<std::string> findFileTitles(const std::string& directory, std::string_view extension) {
    std::vector<std::string> titles;
    std::string pattern = directory + "\\*" + text(extension);
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return titles;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        std::string_view name(found.cFileName);
        // The pattern also matches through short 8.3 names ("x.txt1" for "*.txt");
        // only names that really end in the extension count.
        if (name.size() <= extension.size() || !endsWithNoCase(name, extension)) continue;
        titles.emplace_back(name.substr(0, name.size() - extension.size()));
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return titles;
}

bool deleteFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

bool replaceFile(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool setCurrentDirectory(const std::string& path) { return SetCurrentDirectoryA(path.c_str()) != 0; }

bool fileExists(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool createDirectories(const std::string& path) {
    if (path.empty()) return false;
    if (isDirectory(path)) return true;
    // Create each missing level in turn. The drive ("C:") or the server and share of a
    // UNC path ("\\server\share") are never created.
    std::size_t start = 0;
    if (path.size() >= 2 && path[1] == ':') {
        start = 2;
    } else if (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/')) {
        std::size_t server = path.find_first_of("\\/", 2);
        start = server == std::string::npos ? path.size() : path.find_first_of("\\/", server + 1);
        if (start == std::string::npos) start = path.size();
    }
    for (std::size_t i = start; i <= path.size(); ++i) {
        if (i != path.size() && path[i] != '\\' && path[i] != '/') continue;
        if (i == 0 || path[i - 1] == '\\' || path[i - 1] == '/' || (i == 2 && path[1] == ':')) continue;
        std::string level = path.substr(0, i);
        if (!isDirectory(level)) CreateDirectoryA(level.c_str(), nullptr);
    }
    return isDirectory(path);
}

// ---- User interface ----------------------------------------------------------------------

bool postMessage(HWND window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    if (!window) return false;
    return PostMessageA(window, message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam)) != 0;
}

void messageBox(std::string_view caption, std::string_view body, BoxIcon icon) {
    if (messageBoxesSuppressed()) {
        // Unattended runs (tests, services): the same one line as on POSIX, on standard
        // error and to an attached debugger, and never a window that waits for a click.
        std::string line;
        line.reserve(caption.size() + body.size() + 8);
        line.append("[").append(caption).append("] ");
        for (char c : body) {
            if (c == '\n') line.append(" | ");
            else if (c != '\r') line.push_back(c);
        }
        line.push_back('\n');
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
        OutputDebugStringA(line.c_str());
        return;
    }
    UINT style = MB_OK;
    switch (icon) {
        case BoxIcon::Information: style |= MB_ICONINFORMATION; break;
        case BoxIcon::Error: style |= MB_ICONERROR; break;
        case BoxIcon::Warning: style |= MB_ICONWARNING; break;
    }
    MessageBoxA(nullptr, text(body).c_str(), text(caption).c_str(), style);
}

int lastErrorCode() { return static_cast<int>(GetLastError()); }

std::string errorText(int code) {
    // The system's message table text, as the system words it (it ends with a line
    // break).
    char* buffer = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                             reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    std::string result;
    if (n != 0 && buffer) {
        result.assign(buffer, n);
    } else {
        char fallback[32];
        std::snprintf(fallback, sizeof fallback, "error %d", code);
        result = fallback;
    }
    if (buffer) LocalFree(buffer);
    return result;
}

// ---- Module --------------------------------------------------------------------------------

std::string modulePath() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&modulePath), &self))
        return {};
    return moduleFileName(self);
}

std::string fileVersion(const std::string& path) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0) return {};
    std::vector<unsigned char> block(size);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, block.data())) return {};
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<LPVOID*>(&info), &length) || !info ||
        length < sizeof(VS_FIXEDFILEINFO))
        return {};
    char version[64];
    std::snprintf(version, sizeof version, "%u.%u.%u.%u", static_cast<unsigned>(HIWORD(info->dwFileVersionMS)),
                  static_cast<unsigned>(LOWORD(info->dwFileVersionMS)),
                  static_cast<unsigned>(HIWORD(info->dwFileVersionLS)),
                  static_cast<unsigned>(LOWORD(info->dwFileVersionLS)));
    return version;
}

}  // namespace kestro::platform
