#pragma once
// The daily trace file: one plain-text file per calendar day, lines ended by CR LF,
// each line starting with a 23-character local time stamp and three spaces.

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

private:
    void writeRaw(const std::string& line);

    mutable std::mutex m_mutex;
    std::FILE* m_file = nullptr;
};

}  // namespace kestro
