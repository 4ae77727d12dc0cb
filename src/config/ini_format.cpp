#include "config/ini_format.h"

#include <cstdint>

namespace kestro::ini {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

struct Line {
    std::string_view content;  // without its line ending
    std::size_t begin = 0;     // offset of the content in the text
    std::size_t end = 0;       // offset just past the line ending
};

// The line that starts at pos (pos < text.size()).
Line lineAt(std::string_view text, std::size_t pos) {
    std::size_t nl = text.find('\n', pos);
    std::size_t next = (nl == std::string_view::npos) ? text.size() : nl + 1;
    std::size_t contentEnd = (nl == std::string_view::npos) ? text.size() : nl;
    if (contentEnd > pos && text[contentEnd - 1] == '\r') --contentEnd;
    return {text.substr(pos, contentEnd - pos), pos, next};
}

// "[name]" -> name (trimmed); nullopt for any other line.
std::optional<std::string_view> sectionName(std::string_view line) {
    line = trim(line);
    if (line.empty() || line.front() != '[') return std::nullopt;
    std::size_t close = line.find(']');
    if (close == std::string_view::npos) return trim(line.substr(1));
    return trim(line.substr(1, close - 1));
}

// "key = value" -> key (trimmed); nullopt when the line has no '='.
std::optional<std::string_view> keyName(std::string_view line) {
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    return trim(line.substr(0, eq));
}

struct Location {
    Line sectionLine;      // the section header
    Line lastSectionLine;  // the last non-blank line of the section
    std::optional<Line> keyLine;
};

// One pass over the text, line by line, without keeping the lines: time linear in the
// text, memory independent of its number of lines.
std::optional<Location> locate(std::string_view text, std::string_view section, std::string_view key,
                               bool stopAtKey) {
    std::optional<Location> found;
    for (std::size_t pos = 0; pos < text.size();) {
        const Line line = lineAt(text, pos);
        pos = line.end;
        auto name = sectionName(line.content);
        if (!found) {
            if (name && equalNoCase(*name, section)) found = Location{line, line, std::nullopt};
            continue;
        }
        if (name) break;  // the next section starts
        if (!trim(line.content).empty()) found->lastSectionLine = line;
        if (!found->keyLine) {
            auto k = keyName(line.content);
            if (k && equalNoCase(*k, key)) {
                found->keyLine = line;
                if (stopAtKey) break;  // a reader needs no more; a writer wants the section's end
            }
        }
    }
    return found;
}

}  // namespace

std::optional<std::string> findValue(std::string_view text, std::string_view section, std::string_view key) {
    auto where = locate(text, section, key, true);
    if (!where || !where->keyLine) return std::nullopt;
    std::string_view line = where->keyLine->content;
    std::string_view value = trim(line.substr(line.find('=') + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::string(value);
}

std::string setValue(std::string_view text, std::string_view section, std::string_view key, std::string_view value) {
    const bool crlf = text.empty() || text.find("\r\n") != std::string_view::npos;
    const std::string_view eol = crlf ? std::string_view("\r\n") : std::string_view("\n");
    auto where = locate(text, section, key, false);

    std::string out;
    out.reserve(text.size() + section.size() + key.size() + value.size() + 8);
    if (!where) {
        out.append(text);
        if (!text.empty() && text.back() != '\n') out.append(eol);
        out.append("[").append(section).append("]").append(eol);
        out.append(key).append("=").append(value).append(eol);
        return out;
    }
    if (where->keyLine) {
        const Line& line = *where->keyLine;
        std::size_t eq = line.content.find('=');
        out.append(text.substr(0, line.begin));
        out.append(trim(line.content.substr(0, eq))).append("=").append(value);
        out.append(text.substr(line.begin + line.content.size()));
        return out;
    }
    const Line& last = where->lastSectionLine;
    std::size_t insertAt = last.end;
    out.append(text.substr(0, insertAt));
    if (insertAt == text.size() && !text.empty() && text.back() != '\n') out.append(eol);
    out.append(key).append("=").append(value).append(eol);
    out.append(text.substr(insertAt));
    return out;
}

int parseInt(std::string_view value) {
    std::size_t i = 0;
    while (i < value.size() && isBlank(value[i])) ++i;
    bool negative = false;
    if (i < value.size() && (value[i] == '-' || value[i] == '+')) {
        negative = value[i] == '-';
        ++i;
    }
    std::uint32_t result = 0;
    if (i + 1 < value.size() && value[i] == '0' && (value[i + 1] == 'x' || value[i + 1] == 'X')) {
        i += 2;
        for (; i < value.size(); ++i) {
            char c = value[i];
            int digit;
            if (c >= '0' && c <= '9') digit = c - '0';
            else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
            else break;
            result = result * 16u + static_cast<std::uint32_t>(digit);
        }
    } else {
        for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i)
            result = result * 10u + static_cast<std::uint32_t>(value[i] - '0');
    }
    if (negative) result = 0u - result;
    return static_cast<int>(result);
}

}  // namespace kestro::ini
