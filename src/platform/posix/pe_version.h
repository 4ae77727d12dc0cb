#pragma once
// The file version of a Windows PE file (a DLL or an executable) read from the fixed
// file information of its version resource, without the Windows version calls. Every
// offset is checked against the file: a damaged or hostile file gives nothing, never a
// read outside it.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kestro::platform {

// The four parts of the file version (most significant word high/low, least
// significant word high/low), or nothing when the bytes are not a PE file with a
// version resource.
std::optional<std::array<std::uint16_t, 4>> peFileVersion(std::span<const std::uint8_t> file);

// "a.b.c.d" of the named file, or empty when it cannot be read or has no version.
std::string peFileVersionText(const std::string& path);

}  // namespace kestro::platform
