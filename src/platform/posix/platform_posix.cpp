// POSIX side of the platform seam: host directory, time, files, message boxes, errors.

#include "platform/platform.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <thread>

#include "kestro_version.h"
#include "platform/posix/pe_version.h"

namespace kestro::platform {

std::string hostDirectory() {
    if (const char* env = std::getenv("KESTRO_HOST_DIR"); env && *env) {
        std::string dir(env);
        while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
        return dir;
    }
    std::string exe;
    std::vector<char> buf(4096);
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n > 0) exe.assign(buf.data(), static_cast<std::size_t>(n));
    std::size_t slash = exe.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return exe.substr(0, slash);
}

std::string nativePath(std::string_view configuredPath) {
    std::string path(configuredPath);
    for (char& c : path)
        if (c == '\\') c = '/';
    return path;
}

LocalTime localTimeNow() {
    auto now = std::chrono::system_clock::now();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    ::localtime_r(&secs, &tm);
    LocalTime t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec;
    t.millisecond = static_cast<int>(ms % 1000);
    return t;
}

std::int64_t currentTimeSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

void sleepMs(int milliseconds) {
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::vector<std::string> findFileTitles(const std::string& directory, std::string_view extension) {
    std::vector<std::string> titles;
    DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
    if (!dir) return titles;
    while (dirent* entry = ::readdir(dir)) {
        std::string_view name(entry->d_name);
        if (name.size() <= extension.size() || name.substr(name.size() - extension.size()) != extension) continue;
        std::string full = directory + "/" + std::string(name);
        struct stat st {};
        if (::stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        titles.emplace_back(name.substr(0, name.size() - extension.size()));
    }
    ::closedir(dir);
    return titles;
}

bool deleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool replaceFile(const std::string& from, const std::string& to) { return ::rename(from.c_str(), to.c_str()) == 0; }

bool setCurrentDirectory(const std::string& path) { return ::chdir(path.c_str()) == 0; }

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool createDirectories(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec);
}

void messageBox(std::string_view caption, std::string_view text, BoxIcon) {
    // One line on standard error; embedded line breaks are shown as " | ".
    std::string line;
    line.reserve(caption.size() + text.size() + 8);
    line.append("[").append(caption).append("] ");
    for (char c : text) {
        if (c == '\n') line.append(" | ");
        else if (c != '\r') line.push_back(c);
    }
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

int lastErrorCode() { return errno; }

std::string errorText(int code) {
    char buf[256] = {};
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    return std::string(::strerror_r(code, buf, sizeof buf));
#else
    if (::strerror_r(code, buf, sizeof buf) != 0) std::snprintf(buf, sizeof buf, "error %d", code);
    return std::string(buf);
#endif
}

std::string modulePath() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&modulePath), &info) == 0 || !info.dli_fname) return {};
    return info.dli_fname;
}

std::string fileVersion(const std::string& path) {
    // Shared objects carry no version resource; the library answers for itself. Any
    // other file is read as a Windows PE file (a DLL or tool a service tool was handed).
    if (path.empty()) return {};
    if (path == modulePath()) return KESTRO_VERSION_STRING ".0";
    return peFileVersionText(path);
}

}  // namespace kestro::platform
