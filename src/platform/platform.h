#pragma once
// The platform seam. Everything the core needs from the operating system goes through
// these few calls; src/platform/posix and src/platform/win32 each implement all of them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <kestro/kestro_types.h>

namespace kestro::platform {

// ---- Host directory and paths -------------------------------------------------------

// Directory of the host program, without a trailing separator. On POSIX the
// environment variable KESTRO_HOST_DIR, when set and non-empty, replaces the
// directory of the running executable. Worked out on every call (cheap).
std::string hostDirectory();

// Turns a path as written in the configuration (backslashes) into one the platform's
// file calls accept. On POSIX every backslash becomes '/'; doubled separators stay
// (they are harmless). On Windows the path is returned unchanged.
std::string nativePath(std::string_view configuredPath);

// ---- INI profile calls ---------------------------------------------------------------
// Same contract as the Windows profile calls: section and key names are matched without
// regard to case, the first match wins, a missing file/section/key gives the default,
// values are trimmed and a pair of matching quotes around a value is removed.

// The longest settings-file path the profile calls take (0: no limit). Windows' profile
// calls take at most 259 characters; POSIX has no such limit.
std::size_t profilePathLimit();
// Settings files larger than this are taken as damaged: every read gives its default
// and writes leave them alone. The sink (when set) hears once per file about it.
inline constexpr std::size_t kProfileSizeLimit = 1024 * 1024;
void setProfileWarningSink(void (*sink)(const std::string& line));

// GetPrivateProfileStringA: at most bufferSize-1 characters are returned.
std::string profileGetString(const std::string& file, std::string_view section, std::string_view key,
                             std::string_view defaultValue, std::size_t bufferSize = 260);
// GetPrivateProfileIntA.
int profileGetInt(const std::string& file, std::string_view section, std::string_view key, int defaultValue);
// WritePrivateProfileStringA: creates the file, section and key when missing and keeps
// every other line. Returns true when written. The file is replaced atomically.
bool profileWriteString(const std::string& file, std::string_view section, std::string_view key,
                        std::string_view value);

// ---- Time ------------------------------------------------------------------------------

struct LocalTime {
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

LocalTime localTimeNow();           // GetLocalTime
std::int64_t currentTimeSeconds();  // time(): seconds since 1970
void sleepMs(int milliseconds);

// ---- Files -------------------------------------------------------------------------------

// Titles (file names without their extension) of the files in directory whose names
// end in extension (for example ".txt"), in the order the directory listing gives them.
std::vector<std::string> findFileTitles(const std::string& directory, std::string_view extension);
bool deleteFile(const std::string& path);
// Renames from over to, replacing an existing file at to in one step. true when done.
bool replaceFile(const std::string& from, const std::string& to);
// Sets the process's current directory. true when done.
bool setCurrentDirectory(const std::string& path);
bool fileExists(const std::string& path);
bool createDirectories(const std::string& path);

// ---- User interface ----------------------------------------------------------------------

enum class BoxIcon { Information, Error, Warning };

// Posts a window message (PostMessageA). Posting to a handle that is not a live
// window fails silently and returns false.
bool postMessage(HWND window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

// MessageBoxA with an OK button. On POSIX the caption and text go to standard error as
// one line and the call never blocks.
void messageBox(std::string_view caption, std::string_view text, BoxIcon icon);

// The system's text for the calling thread's last error (errno / GetLastError).
int lastErrorCode();
std::string errorText(int code);

// ---- Module --------------------------------------------------------------------------------

// Full path of this library's own file (for its version resource), or empty.
std::string modulePath();
// "a.b.c.d" from the file's version resource, or empty when it has none.
std::string fileVersion(const std::string& path);

}  // namespace kestro::platform
