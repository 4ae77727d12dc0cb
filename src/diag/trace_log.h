#pragma once
// The daily trace file: one plain-text file per calendar day, lines ended by CR LF,
// each line starting with a 23-character local time stamp and three spaces.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kestro {

class TraceLog {
public:
    TraceLog() = default;
    ~TraceLog();
    TraceLog(const TraceLog&) = delete;
    TraceLog& operator=(const TraceLog&) = delete;

    // "yyyy-mm-dd hh:mm:ss:mmm" followed by three spaces.
    static std::string timeStamp(const platform::LocalTime& t);
    // "yyyymmdd.txt" for the date of t.
    static std::string fileNameFor(const platform::LocalTime& t);
    // The labelled line: stamp, text, " ", number when >= 0, suffix, CR LF.
    static std::string labelledLine(const std::string& stamp, std::string_view text, int number,
                                    std::string_view suffix);

    // Keeps at most `keep` trace files in directory (a path that ends in a separator):
    // when there are more, deletes the one with the smallest name. Only files named like
    // trace files (eight digits, ".txt") take part, and the file named `spare` is never
    // deleted. Returns the title deleted, or empty.
    static std::string purge(const std::string& directory, int keep, std::string_view spare);

    // Opens (creating it when missing) the file for appending; the previous file is
    // closed first. Creates the directory when it is missing. false when it failed:
    // later lines are then dropped until an open succeeds.
    bool open(const std::string& path);
    void close();
    bool isOpen() const;

    void writeLine(std::string_view text);
    void writeLine(std::string_view text, int number, std::string_view suffix);

    // Hands a line over without waiting for the write: for the link's reader, whose line
    // about a reply must not stand between the reply and the sender it wakes. The line
    // counts as written when it is posted: every line written after that, by any thread,
    // follows it in the file. It is written by the next writeLine or flushPosted of any
    // thread, and a thread that must know it is in the file (a sender about to hand the
    // reply to the host) calls flushPosted, which returns at once when it already is.
    void postLine(std::string_view text, int number, std::string_view suffix);
    // spin: how long to watch for the poster's own write before writing in its place.
    void flushPosted(std::chrono::microseconds spin = std::chrono::microseconds(0));

private:
    void writeRaw(const std::string& line);
    // Writes the posted lines, then `line`, in one write (m_mutex held).
    void writePostedLocked(std::string_view line = {});

    mutable std::mutex m_mutex;  // order of writes; held during a write
    std::FILE* m_file = nullptr;

    std::mutex m_postMutex;  // guards m_posted; never held during a write
    std::string m_posted;    // posted lines not yet written, in order
    std::atomic<std::uint64_t> m_postedCount{0};   // lines posted so far
    std::atomic<std::uint64_t> m_writtenCount{0};  // posted lines written (or dropped) so far
};

}  // namespace kestro
