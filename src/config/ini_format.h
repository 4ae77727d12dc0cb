#pragma once
// Reading and editing the text of an INI file with the semantics of the Windows profile
// calls. Pure text in, text out: the file access lives in the platform layer.

#include <optional>
#include <string>
#include <string_view>

namespace kestro::ini {

// The value of key in section as GetPrivateProfileStringA returns it: section and key
// compared without regard to case, the first matching section and the first matching
// key in it win, the value is trimmed of blanks and a pair of matching single or double
// quotes around it is removed. std::nullopt when the section or key does not exist.
std::optional<std::string> findValue(std::string_view text, std::string_view section, std::string_view key);

// The text with key in section set to value: the first matching key line is rewritten,
// or a new key line is added after the last line of the first matching section, or a
// new section is appended. Every other line is kept byte for byte. New lines use the
// line ending the text already uses (CR LF for an empty text).
std::string setValue(std::string_view text, std::string_view section, std::string_view key, std::string_view value);

// GetPrivateProfileIntA's conversion of a value that was found: leading blanks are
// skipped, an optional sign is taken, then "0x"/"0X" hexadecimal or decimal digits up to
// the first other character; no digits give 0. Overflow wraps as a 32-bit integer.
int parseInt(std::string_view value);

}  // namespace kestro::ini
