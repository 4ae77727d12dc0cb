#pragma once
// Helpers shared by the operator exports (radiography, fluoroscopy, status and
// calibration): building command texts, sending them with acknowledgement, reading
// the stored answer back, and the demonstration step rule.

#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "api/export.h"

namespace kestro::op {

// A command text of at most 23 characters, built piece by piece.
class Command {
public:
    explicit Command(std::string_view text) { append(text); }

    Command& append(std::string_view text) {
        for (char c : text) put(c);
        return *this;
    }
    Command& put(char c) {
        if (length_ < static_cast<int>(sizeof(text_))) text_[length_++] = c;
        return *this;
    }
    // The last `count` decimal digits of value, most significant first, made with the
    // link's digit function.
    Command& digits(CCommProtocol& link, int value, int count) {
        for (int position = count; position >= 1; --position)
            put(static_cast<char>(link.GetByteFromInt(value, position)));
        return *this;
    }

    char* text() { return text_; }
    int length() const { return length_; }
    std::string_view view() const { return {text_, static_cast<std::size_t>(length_)}; }

private:
    char text_[23] = {};
    int length_ = 0;
};

// Sends the command with GetCpuCommandData; true when the generator acknowledged it.
inline bool send(CCommProtocol& link, Command command, int kind) {
    return link.GetCpuCommandData(command.text(), command.length(), kind) != 0;
}

// Sends the command and returns the stored value on acknowledgement, else failure.
inline int sendThenRead(CCommProtocol& link, Command command, int kind, const LiveInt& stored, int failure) {
    return send(link, command, kind) ? stored.load() : failure;
}

// The query and step commands of a stepped value: 0 "?", -2 "--", -1 "-", 1 "+",
// 2 "++"; nothing for any other value.
inline std::optional<Command> stepCommand(std::string_view mnemonic, int value) {
    switch (value) {
        case 0: return Command(mnemonic).append("?");
        case -2: return Command(mnemonic).append("--");
        case -1: return Command(mnemonic).append("-");
        case 1: return Command(mnemonic).append("+");
        case 2: return Command(mnemonic).append("++");
        default: return std::nullopt;
    }
}

// Demonstration step over an ascending table: the stored value's position (a value
// that is not an entry counts as the position just before the first entry), moved one
// entry down or up for -1 or 1 and kept for -2 or 2. The entry at the resulting
// position, or nothing when the position is outside the table.
inline std::optional<int> stepOverTable(std::span<const int> table, int stored, int step) {
    int position = -1;
    for (std::size_t i = 0; i < table.size(); ++i)
        if (table[i] == stored) {
            position = static_cast<int>(i);
            break;
        }
    if (step == -1) --position;
    if (step == 1) ++position;
    if (position < 0 || position >= static_cast<int>(table.size())) return std::nullopt;
    return table[static_cast<std::size_t>(position)];
}

inline bool isEntry(std::span<const int> table, int value) {
    for (int entry : table)
        if (entry == value) return true;
    return false;
}

// Runs body(link, data) with the active link; failure when there is none or when the
// body throws.
template <typename Body>
int withLink(int failure, Body&& body) noexcept {
    return guarded(failure, [&]() -> int {
        CCommProtocol* link = activeLink();
        if (!link || !link->m_pData) return failure;
        return body(*link, *link->m_pData);
    });
}

}  // namespace kestro::op
