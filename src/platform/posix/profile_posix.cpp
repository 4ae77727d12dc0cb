// INI profile calls on POSIX: the Windows semantics over plain files. A write replaces
// the file atomically (temporary file in the same directory, then rename), so a reader
// never sees a half-written file and a crash mid-write leaves the old file intact.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <set>
#include <mutex>
#include <string>

#include "config/ini_format.h"
#include "platform/platform.h"

namespace kestro::platform {
namespace {

// Serialises read-modify-write cycles of this process, so that two writers of the same
// file never lose each other's keys.
std::mutex& writeMutex() {
    static std::mutex m;
    return m;
}

std::atomic<void (*)(const std::string&)> g_warningSink{nullptr};

// Tells the sink once per file that it is too large to be a settings file.
void warnOversized(const std::string& path, long long size) {
    static std::mutex lock;
    static std::set<std::string> told;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!told.insert(path).second) return;
    }
    if (auto sink = g_warningSink.load())
        sink("Settings file larger than " + std::to_string(kProfileSizeLimit) + " bytes taken as damaged (" +
             std::to_string(size) + " bytes): " + path);
}

enum class ReadResult { Read, Missing, Oversized };

ReadResult readSettingsFile(const std::string& path, std::string& out) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ReadResult::Missing;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return ReadResult::Missing;
    }
    if (static_cast<unsigned long long>(st.st_size) > kProfileSizeLimit) {
        ::close(fd);
        warnOversized(path, static_cast<long long>(st.st_size));
        return ReadResult::Oversized;
    }
    out.reserve(static_cast<std::size_t>(st.st_size));
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > kProfileSizeLimit) {  // grew while being read
            ::close(fd);
            out.clear();
            warnOversized(path, static_cast<long long>(kProfileSizeLimit) + 1);
            return ReadResult::Oversized;
        }
    }
    ::close(fd);
    return ReadResult::Read;
}

bool readWholeFile(const std::string& path, std::string& out) { return readSettingsFile(path, out) == ReadResult::Read; }

bool writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::size_t profilePathLimit() { return 0; }

void setProfileWarningSink(void (*sink)(const std::string& line)) { g_warningSink = sink; }

std::string profileGetString(const std::string& file, std::string_view section, std::string_view key,
                             std::string_view defaultValue, std::size_t bufferSize) {
    std::string text;
    std::string value(defaultValue);
    if (readWholeFile(nativePath(file), text)) {
        if (auto found = ini::findValue(text, section, key)) value = std::move(*found);
    }
    if (bufferSize == 0) return {};
    if (value.size() > bufferSize - 1) value.resize(bufferSize - 1);
    return value;
}

int profileGetInt(const std::string& file, std::string_view section, std::string_view key, int defaultValue) {
    std::string text;
    if (!readWholeFile(nativePath(file), text)) return defaultValue;
    auto found = ini::findValue(text, section, key);
    if (!found || found->empty()) return defaultValue;
    return ini::parseInt(*found);
}

bool profileWriteString(const std::string& file, std::string_view section, std::string_view key,
                        std::string_view value) {
    const std::string path = nativePath(file);
    std::lock_guard<std::mutex> lock(writeMutex());

    std::string text;
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) return false;  // a directory is not an INI file
    if (exists && !readWholeFile(path, text)) return false;
    const std::string updated = ini::setValue(text, section, key, value);

    std::string tmp = path + ".tmp" + std::to_string(::getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, exists ? (st.st_mode & 0777) : 0644);
    if (fd < 0) return false;
    bool ok = writeAll(fd, updated) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace kestro::platform
