#pragma once
// Tube files: a tube's record and its four kW-limit tables, loaded from a 2048-byte
// file (or image) and sent to the generator for tube 1 or 2, and the tube backup file
// that the Tube Select refresh writes and the Tube Select restore reads.
//
// Tube file layout: 0..447 tube record (T1..T448 of the tube block), 448..511 unused,
// 512 + 384·k .. 895 + 384·k the kW-limit table of selector k = 0..3.
// Backup file layout: the record of tube 0 at 0..447, that of tube 1 at 448..895.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/clock.h"

namespace kestro {

class CCommProtocol;

inline constexpr std::size_t kTubeFileSize = 2048;
inline constexpr std::size_t kTubeRecordSize = 448;
inline constexpr std::size_t kKwLimitTableOffset = 512;
inline constexpr std::size_t kKwLimitTableSize = 384;

// The tube record of the file into the tube block and on to the generator (bag 61).
// tube on success; -1 the file cannot be opened or is shorter than a tube file; -2 tube
// not 1 or 2 (the tube block already holds the file's record); -3 not accepted. In
// demonstration mode the file is still read, nothing is sent.
int applyTubeFile(CCommProtocol& link, const std::string& path, int tube, Clock& clock);

// The four kW-limit tables of the file (bag 112, selectors 0..3). 1 on success; -1, -2,
// -3 as above (-3 at the first table not accepted). In demonstration mode the tube
// number, without touching the file.
int applyTubeFile1(CCommProtocol& link, const std::string& path, int tube);

// Record and tables from a 2048-byte image: five frames, 1 when all were accepted, 0 at
// the first failure (or a tube not 1 or 2, or no image).
int applyWholeTubeFile(CCommProtocol& link, const std::uint8_t* image, int tube, Clock& clock);

// Writes / reads one 448-byte record of a backup file in place (the other record is
// kept; the file is created when missing and never truncated). false when the file
// cannot be opened, written or read in full; nothing is changed in `out` then.
bool writeTubeBackupRecord(const std::string& path, int tube, const std::uint8_t* record);
bool readTubeBackupRecord(const std::string& path, int tube, std::uint8_t* out);

}  // namespace kestro
