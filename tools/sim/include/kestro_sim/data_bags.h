// The generator's stored configuration as data bags, one store entry per bag index and
// selector, each holding the bag's reply data at its reply length.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "kestro_sim/frames.h"

namespace kestro::sim {

// How one bag index looks on the wire.
struct BagLayout {
  std::uint8_t index;            // 1..25, the index byte of the frame
  const char* name;
  std::uint16_t replyLength;     // data bytes of a reply
  std::uint8_t selectorBytes;    // request bytes after the command byte that pick the record
  bool selectorInReply;          // the reply (and the write) begins with the selector bytes
  std::uint16_t maxWriteLength;  // data bytes of a write, command byte included; 0: read-only
};

// The layout of an index, or nullptr for indexes the generator does not know.
const BagLayout* findBagLayout(int index);
std::span<const BagLayout> bagLayouts();

enum class BagAnswerKind { Reply, Ack, Nak, None };

struct BagAnswer {
  BagAnswerKind kind = BagAnswerKind::None;
  std::uint8_t index = 0;
  Bytes data;  // reply data (Reply only)
};

// Not thread-safe; the simulator guards it with its own lock.
class DataBagStore {
 public:
  DataBagStore();

  // Answers one data-bag frame from the library (index and the data between the length
  // and the checksum): a read request gets the reply, a write is stored and acknowledged,
  // anything else is refused with a NAK. A request the generator keeps quiet about gets None.
  BagAnswer handle(std::uint8_t index, std::span<const std::uint8_t> data);

  // The reply data of one record (created with its default contents on first use);
  // nullopt for an unknown index.
  std::optional<Bytes> read(int index, const Bytes& selector);

  // Replaces a record with reply data laid out as a reply (the selector is taken from the
  // data where the reply carries it). False for an unknown index or a wrong length.
  bool put(int index, const Bytes& selector, const Bytes& replyData);

  // Whether handle() would treat the frame as a write.
  static bool isWrite(std::uint8_t index, std::span<const std::uint8_t> data);

  std::size_t writesAccepted() const { return writes; }

  // Default contents of a record, as a freshly started generator holds them.
  static Bytes defaultRecord(const BagLayout& layout, const Bytes& selector);

  // Every record created so far (index, selector) -> reply data, and a replacement of
  // them all: a whole data set saved and loaded (records not listed keep their defaults).
  using RecordMap = std::map<std::pair<int, Bytes>, Bytes>;
  const RecordMap& allRecords() const { return records; }
  void replaceAll(RecordMap all) { records = std::move(all); }

 private:
  Bytes& record(const BagLayout& layout, const Bytes& selector);
  BagAnswer write(const BagLayout& layout, std::span<const std::uint8_t> data);

  std::map<std::pair<int, Bytes>, Bytes> records;
  std::size_t writes = 0;
};

}  // namespace kestro::sim
