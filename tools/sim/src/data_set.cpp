// The simulator's whole data set: feature bits reported in the compatibility answer, and
// every data-bag record saved to and loaded from a text file.
//
// File format (one item a line, '#' starts a comment):
//   features HEX             or   features stored
//   bag INDEX SELECTOR DATA  SELECTOR and DATA in hex without blanks, "-" for no selector
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "kestro_sim/simulator.h"

namespace kestro::sim {

namespace {

constexpr std::uint8_t kCompatibleInformation = 22;

std::string hexWord(const Bytes& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (std::uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0x0F]);
  }
  return out;
}

bool parseHexWord(const std::string& text, Bytes& out) {
  out.clear();
  if (text == "-") return true;
  if (text.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    std::istringstream in(text.substr(i, 2));
    if (!(in >> std::hex >> value) || !in.eof()) return false;
    out.push_back(static_cast<std::uint8_t>(value));
  }
  return true;
}

bool fail(std::string* error, std::string why) {
  if (error) *error = std::move(why);
  return false;
}

}  // namespace

void Simulator::setFeatures(std::optional<std::uint8_t> bits) {
  std::lock_guard lock(m);
  featureBits = bits;
}

std::optional<std::uint8_t> Simulator::features() const {
  std::lock_guard lock(m);
  return featureBits;
}

// Entry 0 of the compatibility answer carries the feature bits in its byte 2.
void Simulator::applyFeaturesLocked(std::uint8_t index, std::span<const std::uint8_t> request, BagAnswer& answer) const {
  if (!featureBits || index != kCompatibleInformation || answer.kind != BagAnswerKind::Reply) return;
  if (request.size() < 3 || request[1] != 0 || request[2] != 0 || answer.data.size() < 3) return;
  answer.data[2] = *featureBits;
}

bool Simulator::saveDataSet(const std::string& path, std::string* error) const {
  std::ostringstream out;
  {
    std::lock_guard lock(m);
    out << "# kestro-sim data set\n";
    if (featureBits) out << "features " << hexWord(Bytes{*featureBits}) << "\n";
    else out << "features stored\n";
    for (const auto& [key, data] : bags.allRecords())
      out << "bag " << key.first << ' ' << (key.second.empty() ? "-" : hexWord(key.second)) << ' ' << hexWord(data) << "\n";
  }
  // Written beside the target and renamed over it: a crash never leaves half a data set.
  const std::string temporary = path + ".tmp";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file << out.str();
    file.flush();
    if (!file) return fail(error, "cannot write " + temporary);
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return fail(error, "cannot replace " + path);
  }
  return true;
}

bool Simulator::loadDataSet(const std::string& path, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return fail(error, "cannot open " + path);
  DataBagStore::RecordMap records;
  std::optional<std::uint8_t> bits;
  std::string line;
  int number = 0;
  while (std::getline(file, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream in(line);
    std::string word;
    if (!(in >> word) || word.front() == '#') continue;
    const std::string where = path + ":" + std::to_string(number) + ": ";
    if (word == "features") {
      std::string value;
      Bytes b;
      if (!(in >> value)) return fail(error, where + "features needs HEX or stored");
      if (value == "stored") bits.reset();
      else if (parseHexWord(value, b) && b.size() == 1) bits = b[0];
      else return fail(error, where + "bad feature bits " + value);
      continue;
    }
    if (word != "bag") return fail(error, where + "unknown item " + word);
    int index = 0;
    std::string selectorText, dataText;
    Bytes selector, data;
    if (!(in >> index >> selectorText >> dataText) || !parseHexWord(selectorText, selector) || !parseHexWord(dataText, data))
      return fail(error, where + "expected: bag INDEX SELECTOR DATA");
    const BagLayout* layout = findBagLayout(index);
    if (!layout || selector.size() != layout->selectorBytes || data.size() != layout->replyLength)
      return fail(error, where + "record does not fit bag " + std::to_string(index));
    records[{index, selector}] = data;
  }
  std::lock_guard lock(m);
  bags.replaceAll(std::move(records));
  featureBits = bits;
  return true;
}

bool Simulator::dataSetControl(const std::vector<std::string>& words, std::string& reply) {
  std::vector<std::string> w = words;
  for (std::size_t i = 0; i < w.size() && i < 2; ++i)
    for (char& c : w[i]) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  auto ok = [&](const std::string& msg) {
    reply = msg.empty() ? "OK" : "OK " + msg;
    return true;
  };
  auto err = [&](const std::string& msg) {
    reply = "ERR " + msg;
    return false;
  };
  if (w[0] == "features") {
    if (w.size() == 1) {
      const auto bits = features();
      return ok(bits ? hexWord(Bytes{*bits}) : "stored");
    }
    Bytes b;
    if (w.size() == 2 && (w[1] == "off" || w[1] == "stored")) setFeatures(std::nullopt);
    else if (w.size() == 2 && parseHexWord(w[1], b) && b.size() == 1) setFeatures(b[0]);
    else return err("usage: features [HEX|off]");
    return ok("");
  }
  if (w.size() != 3 || (w[1] != "save" && w[1] != "load")) return err("usage: data save FILE | data load FILE");
  std::string why;
  const bool done = w[1] == "save" ? saveDataSet(w[2], &why) : loadDataSet(w[2], &why);
  return done ? ok("") : err(why);
}

}  // namespace kestro::sim
