// Trace line layout, the purge of old trace files, and the error-message table.

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "diag/error_messages.h"
#include "diag/trace_log.h"
#include "temp_host.h"

namespace kestro {
namespace {

TEST(TraceLog, TimeStampLayout) {
    const std::pair<platform::LocalTime, const char*> cases[] = {
        {{2026, 12, 10, 8, 5, 9, 7}, "2026-12-10 08:05:09:007   "},
        {{2026, 1, 2, 23, 59, 59, 42}, "2026-01-02 23:59:59:042   "},
        {{999, 10, 31, 0, 0, 0, 123}, "999-10-31 00:00:00:123   "},  // the year is not padded
    };
    for (const auto& [t, expected] : cases) EXPECT_EQ(TraceLog::timeStamp(t), expected);
    EXPECT_EQ(TraceLog::timeStamp({2026, 12, 10, 8, 5, 9, 7}).size(), 26u);
    EXPECT_EQ(TraceLog::fileNameFor({2026, 3, 4, 0, 0, 0, 0}), "20260304.txt");
}

TEST(TraceLog, LabelledLineLayout) {
    const std::string stamp = "2026-12-10 08:05:09:007   ";
    EXPECT_EQ(TraceLog::labelledLine(stamp, "UI sent command            : ", -1, "KV+"),
              stamp + "UI sent command            :  KV+\r\n");
    EXPECT_EQ(TraceLog::labelledLine(stamp, "Set Mode : ", 0, ""), stamp + "Set Mode :  0\r\n");
    EXPECT_EQ(TraceLog::labelledLine(stamp, "x", -7, "s"), stamp + "x s\r\n");
    EXPECT_EQ(TraceLog::labelledLine(stamp, "Heat= ", 55, ""), stamp + "Heat=  55\r\n");
}

TEST(TraceLog, WholeLinesUnderConcurrentWriters) {
    test::TempHost host;
    TraceLog log;
    ASSERT_TRUE(log.open((host.dir() / "Trace" / "20260101.txt").string()));  // creates Trace/
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w)
        writers.emplace_back([&, w] {
            for (int i = 0; i < 250; ++i) log.writeLine("writer " + std::to_string(w), i, std::string(40, 'a' + w));
        });
    for (auto& t : writers) t.join();
    log.close();
    std::string text = host.read("Trace/20260101.txt");
    std::size_t lines = 0, pos = 0;
    while ((pos = text.find("\r\n", pos)) != std::string::npos) ++lines, pos += 2;
    EXPECT_EQ(lines, 1000u);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        ASSERT_EQ(line.back(), '\r');
        ASSERT_EQ(line.substr(23, 10), "   writer ");
        char w = line[33];
        EXPECT_EQ(line.substr(line.size() - 41, 40), std::string(40, static_cast<char>('a' + (w - '0'))));
    }
}

// A posted line (the reader's line about a reply) is not written at once, but nothing
// written after it can come before it, flushPosted() puts it in the file, and closing or
// switching the file never loses it.
TEST(TraceLog, PostedLinesKeepTheirPlaceAndAreNeverLost) {
    test::TempHost host;
    TraceLog log;
    ASSERT_TRUE(log.open((host.dir() / "Trace" / "20260101.txt").string()));
    log.postLine("Got command from GEN :", -1, "KV080");
    EXPECT_EQ(host.read("Trace/20260101.txt"), "");  // not yet written
    log.flushPosted();
    EXPECT_NE(host.read("Trace/20260101.txt").find("Got command from GEN : KV080\r\n"), std::string::npos);
    log.flushPosted();  // nothing posted: nothing written twice

    // Another thread's line after a post follows the posted line.
    log.postLine("Got command from GEN :", -1, "ST02");
    std::thread([&] { log.writeLine("UI sent command            : ", -1, "KV081"); }).join();
    log.postLine("Got command from GEN :", -1, "KV081");
    ASSERT_TRUE(log.open((host.dir() / "Trace" / "20260102.txt").string()));  // the day changes
    log.postLine("Got command from GEN :", -1, "ST03");
    log.close();

    const std::string first = host.read("Trace/20260101.txt");
    const std::size_t kv080 = first.find("KV080"), st02 = first.find("ST02"), sent = first.find("KV081"),
                      kv081 = first.rfind("KV081");
    ASSERT_NE(st02, std::string::npos);
    ASSERT_NE(kv081, sent);
    EXPECT_LT(kv080, st02);
    EXPECT_LT(st02, sent);
    EXPECT_NE(first.find("UI sent command            :  KV081"), std::string::npos);
    EXPECT_EQ(first.find("KV080", kv080 + 1), std::string::npos);
    EXPECT_EQ(first.find("ST03"), std::string::npos);
    EXPECT_NE(host.read("Trace/20260102.txt").find("Got command from GEN : ST03\r\n"), std::string::npos);
}

// A sender woken by a reply makes sure the reply's line is in the file before it goes
// on, whether or not the reader has written it yet.
TEST(TraceLog, FlushPostedFromAnotherThreadWritesEachLineOnce) {
    test::TempHost host;
    TraceLog log;
    ASSERT_TRUE(log.open((host.dir() / "Trace" / "20260101.txt").string()));
    std::atomic<int> turn{0};
    std::thread reader([&] {
        for (int i = 0; i < 500; ++i) {
            log.postLine("Got command from GEN :", i, "");
            turn = i + 1;
            log.flushPosted();
        }
    });
    for (int seen = 0; seen < 500;) {
        const int now = turn.load();
        if (now == seen) continue;
        log.flushPosted(std::chrono::microseconds(5));
        seen = now;
        // Every line posted before the sender looked is in the file now.
        const std::string text = host.read("Trace/20260101.txt");
        ASSERT_NE(text.find("Got command from GEN : " + std::to_string(now - 1) + "\r\n"), std::string::npos);
    }
    reader.join();
    log.close();
    const std::string text = host.read("Trace/20260101.txt");
    std::size_t lines = 0, pos = 0;
    while ((pos = text.find("\r\n", pos)) != std::string::npos) ++lines, pos += 2;
    EXPECT_EQ(lines, 500u);
}

TEST(TraceLog, UnwritableDirectoryLeavesTracingOff) {
    test::TempHost host;
    host.write("blocker", "a file where a directory should be");
    TraceLog log;
    EXPECT_FALSE(log.open((host.dir() / "blocker" / "20260101.txt").string()));
    log.writeLine("dropped");  // no crash, nothing written
    EXPECT_FALSE(log.isOpen());
}

TEST(TraceLog, PurgeDeletesOneOldestTraceFilePerCall) {
    test::TempHost host;
    for (const char* name : {"20261201", "20261130", "20261205", "20261210", "20261115"})
        host.write(std::string("Trace/") + name + ".txt", "x");
    host.write("Trace/notes.txt", "not a trace file");
    const std::string dir = host.dir().string() + "/Trace/";
    EXPECT_EQ(TraceLog::purge(dir, 3, "20261210"), "20261115");
    EXPECT_EQ(TraceLog::purge(dir, 3, "20261210"), "20261130");
    EXPECT_EQ(TraceLog::purge(dir, 3, "20261210"), "");  // three left
    EXPECT_TRUE(std::filesystem::exists(host.dir() / "Trace" / "notes.txt"));
    // Keeping none never deletes the day's own file.
    EXPECT_EQ(TraceLog::purge(dir, 0, "20261210"), "20261201");
    EXPECT_EQ(TraceLog::purge(dir, 0, "20261210"), "20261205");
    EXPECT_EQ(TraceLog::purge(dir, 0, "20261210"), "");
    EXPECT_TRUE(std::filesystem::exists(host.dir() / "Trace" / "20261210.txt"));
}

TEST(ErrorTable, LookupRanges) {
    // Key k holds "T<k>".
    const int lookups[][2] = {{1, 1}, {73, 73}, {74, 0}, {100, 74}, {105, 79}, {106, 0},
                              {199, 0}, {200, 80}, {201, 0}, {0, 0}, {-3, 0}};
    test::TempHost host;
    std::string text = "[Error Messages]\r\n0=80\r\n";
    for (int k = 1; k <= 80; ++k) text += std::to_string(k) + "=T" + std::to_string(k) + "\r\n";
    host.write("err.ini", text);
    ErrorMessageTable table;
    table.load((host.dir() / "err.ini").string());
    ASSERT_EQ(table.entries().size(), 80u);
    for (const auto& l : lookups)
        EXPECT_EQ(table.text(l[0]), l[1] ? "T" + std::to_string(l[1]) : "") << "number " << l[0];

    // A later, larger count moves the bound of the last range, but an entry past the
    // loaded table stays empty.
    host.write("err.ini", "[Error Messages]\r\n0=90\r\n");
    EXPECT_EQ(table.text(205), "");
    EXPECT_EQ(table.text(200), "T80");
}

TEST(ErrorTable, MissingFileAndDamagedCount) {
    test::TempHost host;
    ErrorMessageTable table;
    table.load((host.dir() / "none.ini").string());
    EXPECT_TRUE(table.entries().empty());
    EXPECT_EQ(table.text(1), "");
    host.write("big.ini", "[Error Messages]\r\n0=2000000000\r\n1=only\r\n");
    table.load((host.dir() / "big.ini").string());  // bounded, returns
    EXPECT_EQ(table.text(1), "only");
}

TEST(ErrorTable, NumberedMessageSplit) {
    struct Case {
        const char* text;
        int number;
        const char* rest;
    } cases[] = {{"12:Tube overheated", 12, "Tube overheated"},
                 {"0:zero", 0, ""},
                 {"101:too big", 0, ""},
                 {"5:", 0, ""},
                 {"no colon", 0, ""},
                 {"", 0, ""},
                 {"100:a:b", 100, "a:b"}};
    for (const auto& c : cases) {
        int number = -99;
        EXPECT_EQ(splitNumberedMessage(c.text, &number), c.rest) << c.text;
        EXPECT_EQ(number, c.number) << c.text;
    }
}

}  // namespace
}  // namespace kestro
