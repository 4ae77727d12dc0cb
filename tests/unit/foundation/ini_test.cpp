// Settings files: the profile-call semantics as tables, atomic writes under concurrent
// readers and writers, and how files are found from the host directory.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>
#include <filesystem>
#include <fstream>

#include "config/ini_file.h"
#include "config/ini_format.h"
#include "platform/platform.h"
#include "temp_host.h"

namespace kestro {
namespace {

struct FindCase {
    const char* text;
    const char* section;
    const char* key;
    const char* expected;  // nullptr: not found
};

TEST(IniFormat, FindValueFollowsProfileSemantics) {
    const FindCase cases[] = {
        {"[A]\r\nk=v\r\n", "A", "k", "v"},
        {"[a]\nK=v\n", "A", "k", "v"},                          // names without regard to case
        {"[A]\nk=first\nk=second\n", "A", "k", "first"},        // first key wins
        {"[A]\nk=one\n[A]\nk=two\n", "A", "k", "one"},          // first section wins
        {"[A]\nx=1\n[B]\nk=2\n", "A", "k", nullptr},            // key of another section
        {"[A]\n  k  =   spaced value  \n", "A", "k", "spaced value"},
        {"[A]\nk=\"quoted  \"\n", "A", "k", "quoted  "},        // matching quotes stripped
        {"[A]\nk='single'\n", "A", "k", "single"},
        {"[A]\nk=\"unmatched'\n", "A", "k", "\"unmatched'"},
        {"[A]\nk=\n", "A", "k", ""},
        {"[ A ]\nk=v", "A", "k", "v"},                          // no final line ending
        {"k=v\n[A]\n", "A", "k", nullptr},                      // key before any section
        {"[A]\nk=a=b\n", "A", "k", "a=b"},                      // only the first '=' splits
        {"", "A", "k", nullptr},
    };
    for (const auto& c : cases) {
        auto got = ini::findValue(c.text, c.section, c.key);
        if (c.expected) {
            ASSERT_TRUE(got.has_value()) << c.text;
            EXPECT_EQ(*got, c.expected) << c.text;
        } else {
            EXPECT_FALSE(got.has_value()) << c.text;
        }
    }
}

TEST(IniFormat, SetValueKeepsEveryOtherLine) {
    struct Case {
        const char* before;
        const char* section;
        const char* key;
        const char* value;
        const char* after;
    } cases[] = {
        {"", "S", "k", "1", "[S]\r\nk=1\r\n"},
        {"; note\r\n[S]\r\nk=0\r\nz=9\r\n", "s", "K", "5", "; note\r\n[S]\r\nk=5\r\nz=9\r\n"},
        {"[S]\nA=1\n\n[T]\nB=2\n", "S", "c", "3", "[S]\nA=1\nc=3\n\n[T]\nB=2\n"},
        {"[S]\nA=1", "S", "c", "3", "[S]\nA=1\nc=3\n"},
        {"[T]\nB=2\n", "S", "c", "3", "[T]\nB=2\n[S]\nc=3\n"},
        {"[S]\n k = old \n", "S", "k", "new", "[S]\nk=new\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(ini::setValue(c.before, c.section, c.key, c.value), c.after) << c.before;
}

TEST(IniFormat, ParseIntLikeGetPrivateProfileInt) {
    const std::pair<const char*, int> cases[] = {
        {"42", 42},   {"  7", 7},      {"-5", -5},     {"+3", 3},     {"12abc", 12},
        {"abc", 0},   {"0x1F", 31},    {"0X10", 16},   {"4294967295", -1},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(ini::parseInt(text), value) << text;
}

TEST(ProfileCalls, MissingFileSectionOrKeyGiveDefaults) {
    test::TempHost host;
    std::string missing = (host.dir() / "nope.ini").string();
    EXPECT_EQ(platform::profileGetInt(missing, "A", "k", 17), 17);
    EXPECT_EQ(platform::profileGetString(missing, "A", "k", "dflt"), "dflt");
    host.write("x.ini", "[A]\nk=\nm=garbage\n");
    std::string file = (host.dir() / "x.ini").string();
    EXPECT_EQ(platform::profileGetInt(file, "A", "k", 17), 17);  // empty value: the default
    EXPECT_EQ(platform::profileGetInt(file, "A", "m", 17), 0);   // not a number: 0
    EXPECT_EQ(platform::profileGetInt(file, "B", "k", 3), 3);
    // A directory is not a file: defaults, and writes fail.
    EXPECT_EQ(platform::profileGetString(host.dir().string(), "A", "k", "d"), "d");
    EXPECT_FALSE(platform::profileWriteString(host.dir().string(), "A", "k", "v"));
}

TEST(ProfileCalls, LongValueIsCutToTheBuffer) {
    test::TempHost host;
    host.write("x.ini", "[A]\nk=" + std::string(1000, 'x') + "\n");
    std::string file = (host.dir() / "x.ini").string();
    EXPECT_EQ(platform::profileGetString(file, "A", "k", "", 260).size(), 259u);
    EXPECT_EQ(platform::profileGetString(file, "A", "k", "", 4), "xxx");
}

TEST(ProfileCalls, WritesCreateAndReplaceWithoutTornReads) {
    test::TempHost host;
    std::string file = (host.dir() / "sub.ini").string();
    ASSERT_TRUE(platform::profileWriteString(file, "S", "fixed", "keep-me"));

    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            if (platform::profileGetString(file, "S", "fixed", "") != "keep-me") ++torn;
        }
    });
    std::thread writers[2];
    for (int w = 0; w < 2; ++w) {
        writers[w] = std::thread([&, w] {
            for (int i = 0; i < 200; ++i)
                platform::profileWriteString(file, "S", "k" + std::to_string(w), std::to_string(i));
        });
    }
    for (auto& t : writers) t.join();
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(platform::profileGetInt(file, "S", "k0", -1), 199);  // no write lost
    EXPECT_EQ(platform::profileGetInt(file, "S", "k1", -1), 199);
    // No temporary file left behind.
    int files = 0;
    for (auto& entry : std::filesystem::directory_iterator(host.dir())) files += entry.is_regular_file();
    EXPECT_EQ(files, 1);
}

TEST(SettingsFiles, ResolvedThroughThePathIndex) {
    test::TempHost host;
    host.write("Gen/INI/Path.ini",
               "[INI Path]\r\nFunctionConfigPath=\\Gen\\INI\\F.ini\r\nLocalConfigPath=Gen\\INI\\L.ini\r\n");
    host.write("Gen/INI/F.ini", "[Function]\r\nDemo Enable=1\r\n");
    CFunctionConfig function;
    EXPECT_EQ(std::string(function.path()), host.dir().string() + "\\Gen\\INI\\F.ini");
    EXPECT_EQ(function.demoEnable(), 1);
    // Without its leading backslash the value is glued to the directory's last name.
    CLocalCommConfig local;
    EXPECT_EQ(std::string(local.path()), host.dir().string() + "Gen\\INI\\L.ini");
    // A missing key leaves the path at the host directory: defaults, failed writes.
    CPathConfig paths;
    EXPECT_EQ(std::string(paths.path()), host.dir().string());
    EXPECT_EQ(paths.tracePath(), "");
    EXPECT_EQ(paths.WriteInt("X", "y", 1), 0);
}

TEST(SettingsFiles, MissingPathIndexGivesDefaults) {
    test::TempHost host;
    CLocalCommConfig local;
    EXPECT_EQ(local.communicationType(), 0);
    EXPECT_EQ(local.com(), 0);
    EXPECT_EQ(local.baud(), "");
    SerialSettings s = readSerialSettings(local);
    EXPECT_EQ(s.port, 1u);
    EXPECT_EQ(s.baud, 19200u);
    EXPECT_EQ(CFunctionConfig().demoEnable(), 0);
}

TEST(SettingsFiles, SerialSettingsCodes) {
    struct Case {
        const char* com;
        const char* baud;
        const char* stop;
        const char* parity;
        const char* bits;
        SerialSettings expected;
    } cases[] = {
        {"3", "9600", "1.5", "even", "7", {3, 9600, 2, 7, 2}},
        {"0", "4800", "2", "odd", "4", {1, 4800, 1, 4, 3}},
        {"-4", "115200", "3", "none", "9", {1, 19200, 0, 8, 1}},
        {"12", "", "", "mark", "", {12, 19200, 0, 8, 1}},
    };
    for (const auto& c : cases) {
        test::TempHost host;
        host.standardLayout("", std::string("[Serial comm]\r\ncom=") + c.com + "\r\nbaud=" + c.baud + "\r\nstopbit=" +
                                    c.stop + "\r\nparity=" + c.parity + "\r\ndatabit=" + c.bits + "\r\n");
        SerialSettings s = readSerialSettings(CLocalCommConfig());
        EXPECT_EQ(s.port, c.expected.port) << c.com;
        EXPECT_EQ(s.baud, c.expected.baud) << c.baud;
        EXPECT_EQ(s.parity, c.expected.parity) << c.parity;
        EXPECT_EQ(s.byteSize, c.expected.byteSize) << c.bits;
        EXPECT_EQ(s.stopBits, c.expected.stopBits) << c.stop;
    }
}

}  // namespace
}  // namespace kestro

namespace kestro {
namespace {

std::vector<std::string> g_settingsWarnings;
void collectSettingsWarning(const std::string& line) { g_settingsWarnings.push_back(line); }

TEST(SettingsFiles, OversizedFileIsTakenAsDamagedAndReportedOnce) {
    test::TempHost host;
    g_settingsWarnings.clear();
    platform::setProfileWarningSink(&collectSettingsWarning);
    // Just within the limit: a key after a million empty lines is found.
    std::string text = "[S]\n";
    text.append(platform::kProfileSizeLimit - text.size() - 5, '\n');
    text.append("k=42\n");
    ASSERT_EQ(text.size(), platform::kProfileSizeLimit);
    host.write("within.ini", text);
    const std::string within = (host.dir() / "within.ini").string();
    EXPECT_EQ(platform::profileGetInt(within, "S", "k", -1), 42);
    EXPECT_TRUE(platform::profileWriteString(within, "S", "k", "43"));
    EXPECT_EQ(platform::profileGetInt(within, "S", "k", -1), 43);

    // One byte more: defaults, the file is not touched by a write, one warning.
    text.push_back('\n');
    host.write("over.ini", text);
    const std::string over = (host.dir() / "over.ini").string();
    EXPECT_EQ(platform::profileGetInt(over, "S", "k", -1), -1);
    EXPECT_EQ(platform::profileGetString(over, "S", "k", "dflt"), "dflt");
    EXPECT_FALSE(platform::profileWriteString(over, "S", "k", "1"));
    EXPECT_EQ(host.read("over.ini"), text);
    ASSERT_EQ(g_settingsWarnings.size(), 1u);
    EXPECT_NE(g_settingsWarnings[0].find(over), std::string::npos);
    platform::setProfileWarningSink(nullptr);
}

TEST(SettingsFiles, HostDirectoryLongerThanWindowsPathsIsNotCut) {
    test::TempHost host;
    // A host directory of more than 300 characters, as deep directory trees give.
    std::filesystem::path deep = host.dir();
    while (deep.string().size() < 300) deep /= "a-rather-long-directory-name";
    std::filesystem::create_directories(deep / "Gen" / "INI");
    std::ofstream(deep / "Gen" / "INI" / "Path.ini") << "[INI Path]\r\nLocalConfigPath=\\Gen\\INI\\L.ini\r\n";
    std::ofstream(deep / "Gen" / "INI" / "L.ini") << "[Communication]\r\nCommunication Type=1\r\n";
    ::setenv("KESTRO_HOST_DIR", deep.c_str(), 1);
    CLocalCommConfig local;
    EXPECT_FALSE(local.pathCut());
    EXPECT_EQ(std::string(local.path()), deep.string() + "\\Gen\\INI\\L.ini");
    EXPECT_EQ(local.communicationType(), 1);
}

}  // namespace
}  // namespace kestro
