// Answers a test or a person configures: the dose-rate curve, the compatibility bag per
// entry, the tube heat limits and the working-tube byte of the auxiliary setup.
#include <algorithm>
#include <cctype>
#include <charconv>

#include "kestro_sim/simulator.h"

namespace kestro::sim {

namespace {

constexpr std::uint8_t kCompatIndex = 22;

bool toInt(std::string_view s, int& out) {
  const char* end = s.data() + s.size();
  auto [ptr, ec] = std::from_chars(s.data(), end, out);
  return !s.empty() && ec == std::errc() && ptr == end;
}

bool toByte(std::string_view s, std::uint8_t& out) {
  int v = 0;
  const char* end = s.data() + s.size();
  auto [ptr, ec] = std::from_chars(s.data(), end, v, 16);
  if (s.empty() || s.size() > 2 || ec != std::errc() || ptr != end) return false;
  out = static_cast<std::uint8_t>(v);
  return true;
}

std::string lowered(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

}  // namespace

bool Simulator::setDoseRateTable(const std::vector<int>& values) {
  if (values.size() != 12) return false;
  for (int v : values)
    if (v < 0 || v > 0xFFFF) return false;
  std::lock_guard lock(m);
  std::optional<Bytes> record = bags.read(13, {0});
  if (!record || record->size() < 25) return false;
  for (std::size_t i = 0; i < 12; ++i) {
    (*record)[2 * i + 1] = static_cast<std::uint8_t>(values[i] >> 8);
    (*record)[2 * i + 2] = static_cast<std::uint8_t>(values[i] & 0xFF);
  }
  return bags.put(13, {0}, *record);
}

void Simulator::setCompatAnswer(int entry, CompatMode mode, const Bytes& fixedBytes) {
  std::lock_guard lock(m);
  CompatAnswer& answer = compatAnswers[entry];
  answer.mode = mode;
  answer.fixed = fixedBytes;
  answer.fixed.resize(8, 0);
}

bool Simulator::setHeatLimits(int first, int second, int tube) {
  if (first < 0 || first > 255 || second < 0 || second > 255 || tube < 1 || tube > 2) return false;
  std::lock_guard lock(m);
  const Bytes selector{static_cast<std::uint8_t>(tube - 1)};
  std::optional<Bytes> record = bags.read(4, selector);
  if (!record || record->size() < 437) return false;
  (*record)[435] = static_cast<std::uint8_t>(first);
  (*record)[436] = static_cast<std::uint8_t>(second);
  return bags.put(4, selector, *record);
}

bool Simulator::setTubeByte(int receptor, int value) {
  if (receptor < 1 || receptor > 6 || value < 0 || value > 255) return false;
  std::lock_guard lock(m);
  const Bytes selector{static_cast<std::uint8_t>(receptor - 1)};
  std::optional<Bytes> record = bags.read(6, selector);
  if (!record || record->size() < 2) return false;
  (*record)[1] = static_cast<std::uint8_t>(value);
  return bags.put(6, selector, *record);
}

// Bag 22 requests carry the entry as two selector bytes (entry / 15, entry % 15) after
// the command byte; writes continue with the eight request bytes.
std::optional<BagAnswer> Simulator::configuredBagAnswerLocked(std::uint8_t index, std::span<const std::uint8_t> data) {
  if (index != kCompatIndex || data.size() < 3) return std::nullopt;
  const int entry = data[1] * 15 + data[2];
  auto it = compatAnswers.find(entry);
  if (it == compatAnswers.end() || it->second.mode == CompatMode::Echo) return std::nullopt;
  const bool write = DataBagStore::isWrite(index, data);
  if (it->second.mode == CompatMode::Refuse) {
    if (!write) return std::nullopt;
    return BagAnswer{BagAnswerKind::Nak, index, {}};
  }
  if (write) return std::nullopt;  // stored as usual; the read-back gets the fixed bits
  BagAnswer answer = bags.handle(index, data);
  if (answer.kind == BagAnswerKind::Reply && answer.data.size() >= 10)
    std::copy(it->second.fixed.begin(), it->second.fixed.end(), answer.data.begin() + 2);
  return answer;
}

std::optional<bool> Simulator::configControl(const std::vector<std::string>& w, std::string& reply) {
  if (w.empty()) return std::nullopt;
  const std::string verb = lowered(w[0]);
  auto ok = [&] {
    reply = "OK";
    return true;
  };
  auto err = [&](const std::string& why) {
    reply = "ERR " + why;
    return false;
  };
  if (verb == "dose-rate") {
    std::vector<int> values;
    for (std::size_t i = 1; i < w.size(); ++i) {
      int v = 0;
      if (!toInt(w[i], v)) return err("usage: dose-rate V0..V11 (twelve values 0..65535)");
      values.push_back(v);
    }
    if (!setDoseRateTable(values)) return err("usage: dose-rate V0..V11 (twelve values 0..65535)");
    return ok();
  }
  if (verb == "compat") {
    int entry = 0;
    const std::string usage = "usage: compat ENTRY echo|refuse|bits HEX...";
    if (w.size() < 3 || !toInt(w[1], entry) || entry < 0) return err(usage);
    const std::string mode = lowered(w[2]);
    if (mode == "echo" && w.size() == 3) setCompatAnswer(entry, CompatMode::Echo);
    else if (mode == "refuse" && w.size() == 3) setCompatAnswer(entry, CompatMode::Refuse);
    else if (mode == "bits" && w.size() >= 4 && w.size() <= 11) {
      Bytes bytes;
      for (std::size_t i = 3; i < w.size(); ++i) {
        std::uint8_t b = 0;
        if (!toByte(w[i], b)) return err(usage);
        bytes.push_back(b);
      }
      setCompatAnswer(entry, CompatMode::Fixed, bytes);
    } else {
      return err(usage);
    }
    return ok();
  }
  if (verb == "heat-limits") {
    int first = 0, second = 0, tube = 1;
    if (w.size() < 3 || w.size() > 4 || !toInt(w[1], first) || !toInt(w[2], second) ||
        (w.size() == 4 && !toInt(w[3], tube)) || !setHeatLimits(first, second, tube))
      return err("usage: heat-limits FIRST SECOND [TUBE] (0..255, tube 1 or 2)");
    return ok();
  }
  if (verb == "tube-byte") {
    int receptor = 0, value = 0;
    if (w.size() != 3 || !toInt(w[1], receptor) || !toInt(w[2], value) || !setTubeByte(receptor, value))
      return err("usage: tube-byte RECEPTOR VALUE (receptor 1..6, value 0..255)");
    return ok();
  }
  return std::nullopt;
}

}  // namespace kestro::sim
