#include "diag/error_messages.h"

#include <cstdlib>

#include "platform/platform.h"

namespace kestro {

namespace {
constexpr const char* kSection = "Error Messages";
constexpr int kMaxEntries = 65536;
}

void ErrorMessageTable::load(const std::string& file) {
    m_file = file;
    m_entries.clear();
    int n = platform::profileGetInt(file, kSection, "0", 0);
    // A damaged count must not make the load run for ever: no error number maps past
    // entry 65535.
    if (n > kMaxEntries) n = kMaxEntries;
    for (int k = 1; k <= n; ++k) m_entries.push_back(platform::profileGetString(file, kSection, std::to_string(k), ""));
}

int ErrorMessageTable::entryFor(int number, int n) {
    if (number >= 1 && number <= 73) return number - 1;
    if (number >= 100 && number <= 105) return number - 27;
    if (number >= 200 && number <= n + 120) return number - 121;
    return -1;
}

std::string ErrorMessageTable::text(int number) const {
    int n = platform::profileGetInt(m_file, kSection, "0", 0);
    int entry = entryFor(number, n);
    if (entry < 0 || entry >= static_cast<int>(m_entries.size())) return {};
    return m_entries[static_cast<std::size_t>(entry)];
}

std::string splitNumberedMessage(const std::string& message, int* number) {
    auto fail = [&] {
        if (number) *number = 0;
        return std::string();
    };
    std::size_t colon = message.find(':');
    if (colon == std::string::npos) return fail();
    int value = std::atoi(message.substr(0, colon).c_str());
    if (value < 1 || value > 100) return fail();
    std::string rest = message.substr(colon + 1);
    if (rest.empty()) return fail();
    if (number) *number = value;
    return rest;
}

}  // namespace kestro
