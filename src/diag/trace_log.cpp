#include "diag/trace_log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace kestro {
namespace {

bool isTraceTitle(std::string_view title) {
    return title.size() == 8 && std::all_of(title.begin(), title.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string directoryOf(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
#if defined(_WIN32)
    std::size_t back = path.find_last_of('\\');
    if (back != std::string::npos && (slash == std::string::npos || back > slash)) slash = back;
#endif
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

TraceLog::~TraceLog() { close(); }

std::string TraceLog::timeStamp(const platform::LocalTime& t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d-%02d-%02d %02d:%02d:%02d:%03d   ", t.year, t.month, t.day, t.hour, t.minute,
                  t.second, t.millisecond);
    return buf;
}

std::string TraceLog::fileNameFor(const platform::LocalTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%4d%02d%02d.txt", t.year, t.month, t.day);
    return buf;
}

std::string TraceLog::labelledLine(const std::string& stamp, std::string_view text, int number,
                                   std::string_view suffix) {
    std::string line;
    line.reserve(stamp.size() + text.size() + suffix.size() + 16);
    line.append(stamp).append(text).append(" ");
    if (number >= 0) line.append(std::to_string(number));
    line.append(suffix).append("\r\n");
    return line;
}

std::string TraceLog::purge(const std::string& directory, int keep, std::string_view spare) {
    std::vector<std::string> titles = platform::findFileTitles(platform::nativePath(directory), ".txt");
    titles.erase(std::remove_if(titles.begin(), titles.end(), [](const std::string& t) { return !isTraceTitle(t); }),
                 titles.end());
    if (static_cast<long long>(titles.size()) <= keep) return {};
    const std::string* oldest = nullptr;
    for (const std::string& title : titles) {
        if (title == spare) continue;
        if (!oldest || title < *oldest) oldest = &title;
    }
    if (!oldest) return {};
    std::string victim = *oldest;
    platform::deleteFile(platform::nativePath(directory + victim + ".txt"));  // a failure is ignored
    return victim;
}

bool TraceLog::open(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    writePostedLocked();  // lines posted before the switch belong to the file they were posted for
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    std::string native = platform::nativePath(path);
    std::string dir = directoryOf(native);
    if (!dir.empty()) platform::createDirectories(dir);
    m_file = std::fopen(native.c_str(), "ab");
    return m_file != nullptr;
}

void TraceLog::close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    writePostedLocked();
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
}

bool TraceLog::isOpen() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_file != nullptr;
}

void TraceLog::writeRaw(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    writePostedLocked(line);
}

void TraceLog::writePostedLocked(std::string_view line) {
    if (m_writtenCount.load() == m_postedCount.load()) {
        if (m_file && !line.empty()) {
            std::fwrite(line.data(), 1, line.size(), m_file);
            std::fflush(m_file);
        }
        return;
    }
    std::string lines;
    std::uint64_t count = 0;
    {
        std::lock_guard<std::mutex> post(m_postMutex);
        lines.swap(m_posted);
        count = m_postedCount.load();
    }
    lines.append(line);  // the posted lines and this one in one write
    if (m_file && !lines.empty()) {
        std::fwrite(lines.data(), 1, lines.size(), m_file);
        std::fflush(m_file);
    }
    m_writtenCount.store(count);
}

void TraceLog::postLine(std::string_view text, int number, std::string_view suffix) {
    std::string line = labelledLine(timeStamp(platform::localTimeNow()), text, number, suffix);
    std::lock_guard<std::mutex> post(m_postMutex);
    m_posted.append(line);
    m_postedCount.fetch_add(1);
}

void TraceLog::flushPosted(std::chrono::microseconds spin) {
    const std::uint64_t posted = m_postedCount.load();
    if (m_writtenCount.load() >= posted) return;
    // The poster is usually writing the line this very moment: give it a moment
    // before queueing up behind it.
    const auto until = std::chrono::steady_clock::now() + spin;
    while (std::chrono::steady_clock::now() < until)
        if (m_writtenCount.load() >= posted) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    writePostedLocked();
}

void TraceLog::writeLine(std::string_view text) {
    std::string line = timeStamp(platform::localTimeNow());
    line.append(text).append("\r\n");
    writeRaw(line);
}

void TraceLog::writeLine(std::string_view text, int number, std::string_view suffix) {
    writeRaw(labelledLine(timeStamp(platform::localTimeNow()), text, number, suffix));
}

}  // namespace kestro
