// The INI reader and writer over any text. Property: after setValue(text, s, k, v),
// findValue gives v for (s, k), and every other key of the text reads as before.
//
// Input: three lines (section, key, value) and then the text. Names that an INI line
// cannot carry (line breaks, ']' in a section, '=' in a key, blanks around them) are
// not used for the property; the reader and writer still run on them.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "config/ini_format.h"

namespace {

std::string_view takeLine(std::string_view& in) {
    const std::size_t nl = in.find('\n');
    std::string_view line = in.substr(0, nl);
    in.remove_prefix(nl == std::string_view::npos ? in.size() : nl + 1);
    return line;
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

bool usable(std::string_view s, std::string_view forbidden) {
    if (s.empty() || blank(s.front()) || blank(s.back())) return false;
    for (char c : s)
        if (c == '\n' || c == '\r' || forbidden.find(c) != std::string_view::npos) return false;
    return true;
}

bool quoted(std::string_view v) { return v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front(); }

bool sameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    const std::string_view section = takeLine(in);
    const std::string_view key = takeLine(in);
    const std::string_view value = takeLine(in);
    const std::string_view text = in;

    const std::string updated = kestro::ini::setValue(text, section, key, value);
    const auto got = kestro::ini::findValue(updated, section, key);
    (void)kestro::ini::parseInt(got.value_or(std::string(value)));

    // Section names are matched trimmed and up to the first ']'; keys up to the first '='.
    if (!usable(section, "[]") || !usable(key, "=[;") || (!value.empty() && !usable(value, "")) || quoted(value))
        return 0;
    if (!got || *got != value) std::abort();

    // Another key of the same section, or the same key of another section, is untouched:
    // a probe that takes the first line of the text that looks like a key.
    std::string_view rest = text;
    while (!rest.empty()) {
        std::string_view line = takeLine(rest);
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        std::string_view other = line.substr(0, eq);
        while (!other.empty() && blank(other.front())) other.remove_prefix(1);
        while (!other.empty() && blank(other.back())) other.remove_suffix(1);
        if (other.empty() || sameNoCase(other, key)) continue;
        if (kestro::ini::findValue(text, section, other) != kestro::ini::findValue(updated, section, other)) std::abort();
        break;
    }
    return 0;
}
