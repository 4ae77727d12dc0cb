// The console link's receiver over any byte sequence: control bytes, and uploads written
// to a scratch directory that is emptied after every input.
//
// Input: a request byte (bits 0..2 pick the pending operation: 9, 10, 12, 13 or 6;
// bit 7 names an upload directory that cannot be created, so the upload is only
// followed), a parameter byte, then the bytes the console sends.
//
// Properties: every call of the receiver takes at least one byte; an upload file is made
// only for the start byte of the pending upload operation, and holds the bytes after it
// up to the first four dollar signs (all of them when the line ends first), then 64
// dollar signs and four asterisks.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "console/my_protocl.h"
#include "fuzz_link.h"

namespace {

namespace fs = std::filesystem;
using kestro::CMyProtocl;

class Line final : public kestro::ConsolePort {
public:
    std::deque<std::uint8_t> input;

    bool isOpen() const override { return true; }
    int write(const std::uint8_t*, int count) override { return count; }
    int bytesInQueue() override { return static_cast<int>(input.size()); }
    int read(std::uint8_t* buffer, int count) override {
        int n = 0;
        while (n < count && !input.empty()) {
            buffer[n++] = input.front();
            input.pop_front();
        }
        return n;
    }
    bool waitForInput(int) override { return !input.empty(); }
    void cancelWait() override {}
    void purge() override {}
};

// No time passes. When the line has nothing more, the console's threads are told to stop,
// which ends the receiver's wait for a byte; the next input starts them again.
class InstantClock final : public kestro::ConsoleClock {
public:
    bool sleepMs(int) override { return CMyProtocl::thread.load() == 1; }
    bool waitForInput(kestro::ConsolePort& port, int) override {
        if (port.bytesInQueue() > 0) return true;
        CMyProtocl::thread = 0;
        return false;
    }
};

struct Console {
    Line line;
    InstantClock clock;
    CMyProtocl console;
    std::string scratch;  // ends with a separator
};

void removeScratch();

Console& console() {
    static Console* instance = [] {
        kestro::fuzz::useUnwritableHostDirectory();
        auto* made = new Console;
        made->console.useLine(made->line, made->clock);
        std::string pattern = (fs::temp_directory_path() / "kestro-fuzz-console-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        made->scratch = pattern + "/";
        std::atexit(removeScratch);
        return made;
    }();
    return *instance;
}

void removeScratch() {
    std::error_code ec;
    fs::remove_all(console().scratch, ec);
}

std::string readFile(const fs::path& path) {
    std::string content;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) content.append(buf, n);
        std::fclose(f);
    }
    return content;
}

// The file an upload of `sent` (the bytes after its start byte) leaves.
std::string expectedUpload(std::string_view sent) {
    const std::size_t end = sent.find("$$$$");
    std::string file(sent.substr(0, end));
    file.append(64, '$').append("****");
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    static constexpr int kOperations[8] = {9, 10, 12, 13, 6, 12, 13, 9};
    Console& c = console();
    const int operation = kOperations[data[0] & 7];
    const bool noDirectory = (data[0] & 0x80) != 0;
    const std::string directory = noDirectory ? std::string("/dev/null/kestro-fuzz-console/") : c.scratch;

    CMyProtocl::thread = 1;
    c.console.ConsoleDownLoad(directory.c_str(), data[1], operation);
    c.line.input.assign(data + 2, data + size);
    while (!c.line.input.empty()) {
        const std::size_t before = c.line.input.size();
        c.console.ReceiveAndProcess1();
        if (c.line.input.size() >= before) std::abort();
    }
    CMyProtocl::thread = 1;

    // Which upload, if any, the bytes started.
    const std::string_view bytes(reinterpret_cast<const char*>(data + 2), size - 2);
    const char start = operation == 12 ? 0x03 : operation == 13 ? 0x02 : 0;
    const std::size_t at = start ? bytes.find(start) : std::string_view::npos;
    const bool uploaded = at != std::string_view::npos && !noDirectory;
    const fs::path structFile = fs::path(c.scratch) / "AprStruct.bin";
    const fs::path dataFile = fs::path(c.scratch) / "AprData.bin";
    const fs::path made = operation == 12 ? structFile : dataFile;
    const fs::path other = operation == 12 ? dataFile : structFile;

    std::error_code ec;
    if (uploaded) {
        if (readFile(made) != expectedUpload(bytes.substr(at + 1))) std::abort();
    } else if (fs::exists(structFile, ec) || fs::exists(dataFile, ec)) {
        std::abort();
    }
    if (fs::exists(other, ec) && uploaded) std::abort();
    fs::remove(structFile, ec);
    fs::remove(dataFile, ec);

    return 0;
}
