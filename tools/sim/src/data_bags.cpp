#include "kestro_sim/data_bags.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kestro::sim {

namespace {

// index, name, reply length, selector bytes, selector in reply, write length (0 read-only)
constexpr std::array<BagLayout, 25> kLayouts{{
    {1, "Generator Time", 7, 0, false, 7},
    {2, "Generator Error Log", 22, 1, false, 0},
    {3, "Generator Statistics", 24, 0, false, 0},
    {4, "Tube Select", 453, 1, true, 450},
    {5, "Generator Limits", 8, 0, false, 9},
    {6, "Auxiliary Setup", 26, 1, true, 27},
    {7, "Auxiliary IO", 8, 2, true, 9},
    {8, "AEC Setup", 10, 1, true, 11},
    {9, "AEC RLF", 22, 1, true, 23},
    {10, "AEC Density", 16, 0, false, 17},
    {11, "Fluo Setup", 63, 0, false, 64},
    {12, "Version", 55, 0, false, 56},
    {13, "ABS Curve or DAP curve", 27, 1, true, 28},
    {14, "ABS KVBreak", 13, 0, false, 14},
    {15, "Tube KW Limit", 386, 2, true, 387},
    {16, "Cable Tank", 6, 0, false, 7},
    {17, "Tube Calibration", 202, 2, true, 203},
    {18, "Generator Information", 70, 0, false, 71},
    {19, "Load Calibration Curve", 48, 0, false, 49},
    {20, "Load Calibration Break", 24, 0, false, 25},
    {21, "Generator KW_MS Table", 72, 1, false, 74},
    {22, "Compatible Information", 10, 2, true, 11},
    {23, "AEC Channel Film", 22, 2, true, 23},
    {24, "Function Config", 10, 2, true, 11},
    {25, "Dynamic Filament Calibration", 386, 2, true, 387},
}};

constexpr int kErrorLogIndex = 2;
constexpr int kStatisticsIndex = 3;
constexpr int kGeneratorInfoIndex = 18;
constexpr std::uint8_t kClearErrorLog = 3;

void putWord(Bytes& data, std::size_t at, unsigned value) {
  if (at + 1 >= data.size()) return;
  data[at] = static_cast<std::uint8_t>((value >> 8) & 0xFFu);
  data[at + 1] = static_cast<std::uint8_t>(value & 0xFFu);
}

void putText(Bytes& data, std::size_t at, const char* text) {
  for (std::size_t i = 0; text[i] != '\0' && at + i < data.size(); ++i)
    data[at + i] = static_cast<std::uint8_t>(text[i]);
}

unsigned sel(const Bytes& selector, std::size_t i) { return i < selector.size() ? selector[i] : 0u; }

}  // namespace

std::span<const BagLayout> bagLayouts() { return kLayouts; }

const BagLayout* findBagLayout(int index) {
  if (index < 1 || index > static_cast<int>(kLayouts.size())) return nullptr;
  return &kLayouts[static_cast<std::size_t>(index - 1)];
}

DataBagStore::DataBagStore() = default;

Bytes DataBagStore::defaultRecord(const BagLayout& layout, const Bytes& selector) {
  Bytes data(layout.replyLength);
  // A recognisable filler: a byte copied to the wrong place shows up in a comparison.
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>((layout.index * 16u + i * 3u + sel(selector, 0) * 7u) % 251u);
  if (layout.selectorInReply) {
    for (std::size_t i = 0; i < layout.selectorBytes && i < data.size(); ++i) data[i] = selector[i];
  }
  const unsigned s0 = sel(selector, 0);
  switch (layout.index) {
    case 1: {  // year-2000, month, day, hour, minute, second, weekday
      const std::uint8_t time[] = {25, 6, 1, 12, 30, 0, 0};
      std::copy(std::begin(time), std::end(time), data.begin());
      break;
    }
    case 2: {  // one error-log entry per selector 0..2: code 204 + entry
      std::fill(data.begin(), data.end(), 0);
      data[0] = static_cast<std::uint8_t>(s0);
      data[2] = static_cast<std::uint8_t>(204 + s0);
      data[15] = 1;
      data[19] = 12;
      data[20] = 30;
      data[21] = 6;
      break;
    }
    case 3: {  // six 32-bit counters
      std::fill(data.begin(), data.end(), 0);
      const unsigned counters[] = {12345, 678, 90, 4, 3, 2};
      for (std::size_t i = 0; i < 6; ++i) {
        putWord(data, i * 4, counters[i] >> 16);
        putWord(data, i * 4 + 2, counters[i] & 0xFFFFu);
      }
      break;
    }
    case 4:  // tube block: T0 tube, T5..T20 model name, T432..T436 settings (T435/T436 heat limits)
      putText(data, 5, s0 == 0 ? "SIM-TUBE-A      " : "SIM-TUBE-B      ");
      data[432] = 1;
      data[433] = 2;
      data[434] = 3;
      data[435] = 80;
      data[436] = 95;
      break;
    case 6: {  // per receptor: byte 1 enabled, byte 2 tomography, byte 5 AEC channel
      std::fill(data.begin() + 1, data.end(), 0);
      static const std::uint8_t enabled[] = {1, 1, 1, 1, 0, 0};
      static const std::uint8_t tomo[] = {0, 1, 0, 0, 0, 0};
      static const std::uint8_t channel[] = {1, 2, 0, 3, 0, 0};
      std::size_t r = s0 < 6 ? s0 : 5;
      data[1] = enabled[r];
      data[2] = tomo[r];
      data[5] = channel[r];
      break;
    }
    case 8: {  // per AEC channel: byte 1 film speed, byte 2 field
      static const std::uint8_t film[] = {1, 2, 4, 1};
      static const std::uint8_t field[] = {1, 2, 4, 7};
      std::size_t c = s0 < 4 ? s0 : 3;
      data[1] = film[c];
      data[2] = field[c];
      break;
    }
    case 12: {  // version: major, minor, build, patch, variant; then a text
      std::fill(data.begin(), data.end(), 0);
      const std::uint8_t version[] = {4, 2, 9, 7, 1};
      std::copy(std::begin(version), std::end(version), data.begin());
      putText(data, 5, "SIM 2025-06-01");
      break;
    }
    case 13: {  // curve: byte 0 selector, twelve 16-bit values (40..150 kV), two spare bytes
      static const unsigned values[] = {120, 180, 250, 330, 420, 520, 630, 750, 880, 1020, 1170, 1330};
      for (std::size_t i = 0; i < 12; ++i) putWord(data, 1 + 2 * i, values[i] * (s0 + 1));
      data[25] = 0;
      data[26] = 0;
      break;
    }
    case 18:  // the last 20 bytes are a digit string
      putText(data, 50, "20250601000000012345");
      break;
    case 22:  // compatibility answer: nothing enabled until the library writes a request
      std::fill(data.begin() + 2, data.end(), 0);
      break;
    default:
      break;
  }
  return data;
}

Bytes& DataBagStore::record(const BagLayout& layout, const Bytes& selector) {
  auto key = std::make_pair(static_cast<int>(layout.index), selector);
  auto it = records.find(key);
  if (it == records.end()) it = records.emplace(key, defaultRecord(layout, selector)).first;
  return it->second;
}

std::optional<Bytes> DataBagStore::read(int index, const Bytes& selector) {
  const BagLayout* layout = findBagLayout(index);
  if (layout == nullptr) return std::nullopt;
  Bytes key(selector.begin(), selector.begin() + std::min<std::size_t>(selector.size(), layout->selectorBytes));
  key.resize(layout->selectorBytes, 0);
  return record(*layout, key);
}

bool DataBagStore::put(int index, const Bytes& selector, const Bytes& replyData) {
  const BagLayout* layout = findBagLayout(index);
  if (layout == nullptr || replyData.size() != layout->replyLength) return false;
  Bytes key;
  if (layout->selectorInReply) {
    key.assign(replyData.begin(), replyData.begin() + layout->selectorBytes);
  } else {
    key.assign(selector.begin(), selector.begin() + std::min<std::size_t>(selector.size(), layout->selectorBytes));
    key.resize(layout->selectorBytes, 0);
  }
  record(*layout, key) = replyData;
  return true;
}

bool DataBagStore::isWrite(std::uint8_t index, std::span<const std::uint8_t> data) {
  if (findBagLayout(index) == nullptr || data.empty()) return false;
  if (index == kErrorLogIndex || index == kStatisticsIndex) return false;
  return data[0] == 0x00 || (index == kGeneratorInfoIndex && data[0] == 0x02);
}

BagAnswer DataBagStore::handle(std::uint8_t index, std::span<const std::uint8_t> data) {
  BagAnswer answer;
  answer.index = index;
  const BagLayout* layout = findBagLayout(index);
  if (layout == nullptr || data.empty()) {
    answer.kind = BagAnswerKind::Nak;
    return answer;
  }

  // The error log and the statistics carry their parameter in place of the command byte.
  if (index == kErrorLogIndex) {
    const std::uint8_t p = data[0];
    if (p == kClearErrorLog) {
      for (auto it = records.begin(); it != records.end();)
        it = it->first.first == kErrorLogIndex ? records.erase(it) : std::next(it);
      answer.kind = BagAnswerKind::Ack;
    } else if (p <= 2) {
      answer.kind = BagAnswerKind::Reply;
      answer.data = record(*layout, Bytes{p});
    } else {
      answer.kind = BagAnswerKind::Nak;
    }
    return answer;
  }
  if (index == kStatisticsIndex) {
    // A non-zero parameter only prepares the next read; the library follows it with a 00 request.
    if (data[0] != 0) {
      answer.kind = BagAnswerKind::None;
    } else {
      answer.kind = BagAnswerKind::Reply;
      answer.data = record(*layout, Bytes{});
    }
    return answer;
  }

  const std::uint8_t command = data[0];
  if (command == 0x01) {
    Bytes key(layout->selectorBytes, 0);
    for (std::size_t i = 0; i < layout->selectorBytes && 1 + i < data.size(); ++i) key[i] = data[1 + i];
    answer.kind = BagAnswerKind::Reply;
    answer.data = record(*layout, key);
    return answer;
  }
  if (!isWrite(index, data)) {
    answer.kind = BagAnswerKind::Nak;
    return answer;
  }
  return write(*layout, data);
}

BagAnswer DataBagStore::write(const BagLayout& layout, std::span<const std::uint8_t> data) {
  BagAnswer answer;
  answer.index = layout.index;
  answer.kind = BagAnswerKind::Nak;
  if (layout.maxWriteLength == 0 || data.size() < 2 || data.size() > layout.maxWriteLength) return answer;

  // Selector bytes: from the data right after the command byte.
  const std::size_t n = layout.selectorBytes;
  if (n > 0 && data.size() < 1 + n + 1) return answer;
  Bytes key(n, 0);
  for (std::size_t i = 0; i < n; ++i) key[i] = data[1 + i];
  if (n == 0) key.clear();

  Bytes& target = record(layout, key);
  // Most bags: the written bytes after the command byte lie over the reply from its start
  // (selector included). A bag whose reply has no selector skips it.
  const std::size_t from = layout.selectorInReply || n == 0 ? 1 : 1 + n;
  for (std::size_t i = 0; from + i < data.size() && i < target.size(); ++i) target[i] = data[from + i];
  ++writes;
  answer.kind = BagAnswerKind::Ack;
  return answer;
}

}  // namespace kestro::sim
