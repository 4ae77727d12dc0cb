#include "kestro_sim/console_sim.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace kestro::sim {

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kAckByte = 0x06;
constexpr std::uint8_t kNakByte = 0x15;
constexpr std::uint8_t kDoneByte = 0x04;
constexpr std::size_t kFullBlock = 513;  // 512 data bytes and the checksum

bool headerAt(const Bytes& b, std::size_t at = 0) {
  return b.size() >= at + 4 && b[at] == 0xFF && b[at + 2] == 0xFF && b[at + 1] == b[at + 3];
}

bool markerAt(const Bytes& b, std::size_t at) {
  return b.size() >= at + 4 && b[at] == 0xFF && b[at + 1] == 0x08 && b[at + 2] == 0xFF && b[at + 3] == 0x08;
}

std::string hex(const Bytes& bytes, std::size_t limit = 16) {
  std::string out;
  char buf[4];
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    std::snprintf(buf, sizeof buf, "%02X ", bytes[i]);
    out += buf;
  }
  if (bytes.size() > limit) out += "... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

// The console's own files: content without a run of four dollar signs, with shorter runs
// in it so that the terminator rule is exercised.
Bytes defaultFile(std::uint32_t seed, std::size_t size, std::string_view label) {
  Bytes out(label.begin(), label.end());
  out.insert(out.end(), {'$', '$', 'a', '$', '$', '$', 'b', '$'});
  std::uint32_t x = seed;
  while (out.size() < size) {
    x = x * 1664525u + 1013904223u;
    std::uint8_t c = static_cast<std::uint8_t>(x >> 24);
    if (c == '$') c = '#';
    out.push_back(c);
  }
  return out;
}

bool readWhole(const std::string& path, Bytes& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace

ConsoleSimulator::ConsoleSimulator(ConsoleOptions opts)
    : options(std::move(opts)),
      structFile(defaultFile(0x5354u, 300, "AprStruct ")),
      dataFile(defaultFile(0x4441u, 1500, "AprData ")) {}

ConsoleSimulator::~ConsoleSimulator() { stop(); }

bool ConsoleSimulator::start(std::string* error) {
  if (running) return true;
  const bool opened = options.devicePath.empty() ? endpoint.openPty(error) : endpoint.openDevice(options.devicePath, error);
  if (!opened) return false;
  if (!options.linkPath.empty() && endpoint.isPty()) {
    ::unlink(options.linkPath.c_str());
    if (::symlink(endpoint.path().c_str(), options.linkPath.c_str()) != 0) {
      if (error) *error = "symlink " + options.linkPath + ": " + std::strerror(errno);
      endpoint.close();
      return false;
    }
  }
  {
    std::lock_guard lock(m);
    stopping = false;
  }
  running = true;
  io = std::thread([this] { run(); });
  return true;
}

void ConsoleSimulator::stop() {
  if (!running) return;
  {
    std::lock_guard lock(m);
    stopping = true;
  }
  wake.signal();
  io.join();
  running = false;
  endpoint.close();
  if (!options.linkPath.empty()) ::unlink(options.linkPath.c_str());
}

std::string ConsoleSimulator::portPath() const {
  return options.linkPath.empty() || !endpoint.isPty() ? endpoint.path() : options.linkPath;
}

// ---- I/O thread ---------------------------------------------------------------------------

std::chrono::milliseconds ConsoleSimulator::pollTimeout() const {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  const auto now = Clock::now();
  milliseconds timeout{-1};
  auto consider = [&](Clock::time_point at) {
    milliseconds left = duration_cast<milliseconds>(at - now) + milliseconds(1);
    if (left < milliseconds(0)) left = milliseconds(0);
    if (timeout.count() < 0 || left < timeout) timeout = left;
  };
  if (!pending.empty()) consider(lastInput + options.blockGap);
  for (const TimedSend& s : scheduled) consider(s.at);
  return timeout;
}

void ConsoleSimulator::run() {
  std::uint8_t buffer[4096];
  for (;;) {
    pollfd fds[2] = {{wake.handle(), POLLIN, 0}, {endpoint.handle(), POLLIN, 0}};
    int timeout = -1;
    {
      std::lock_guard lock(m);
      if (stopping) return;
      if (!outgoing.empty()) fds[1].events |= POLLOUT;
      timeout = static_cast<int>(pollTimeout().count());
    }
    if (::poll(fds, 2, timeout) < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) wake.drain();

    std::lock_guard lock(m);
    if (stopping) return;
    for (;;) {
      const long n = endpoint.readSome(buffer, sizeof buffer);
      if (n <= 0) break;
      onBytes(buffer, static_cast<std::size_t>(n));
    }
    const auto now = Clock::now();
    if (!pending.empty() && now - lastInput >= options.blockGap) parse(true);
    for (auto it = scheduled.begin(); it != scheduled.end();) {
      if (it->at <= now) {
        outgoing.insert(outgoing.end(), it->bytes.begin(), it->bytes.end());
        it = scheduled.erase(it);
      } else {
        ++it;
      }
    }
    while (!outgoing.empty()) {
      const long n = endpoint.writeSome(outgoing.data(), outgoing.size());
      if (n <= 0) break;
      outgoing.erase(outgoing.begin(), outgoing.begin() + n);
    }
    changed.notify_all();
  }
}

void ConsoleSimulator::onBytes(const std::uint8_t* data, std::size_t count) {
  pending.insert(pending.end(), data, data + count);
  lastInput = Clock::now();
  parse(false);
}

// Cuts the received bytes into units. quiet: the line has been silent for the block gap,
// so whatever is pending is complete.
void ConsoleSimulator::parse(bool quiet) {
  for (;;) {
    switch (state) {
      case State::Idle: {
        if (pending.size() < 4) {
          if (quiet && !pending.empty()) {
            garbage += pending.size();
            note("console: dropped " + hex(pending));
            pending.clear();
          }
          return;
        }
        if (headerAt(pending)) {
          const int code = pending[1];
          pending.erase(pending.begin(), pending.begin() + 4);
          onHeader(code);
        } else {
          ++garbage;
          pending.erase(pending.begin());
        }
        break;
      }
      case State::Parameter: {
        if (pending.size() < 9) {
          if (quiet) {
            garbage += pending.size();
            note("console: short parameter frame " + hex(pending));
            pending.clear();
            state = State::Idle;
          }
          return;
        }
        Bytes frame{0xFF, static_cast<std::uint8_t>(currentHeader), 0xFF, static_cast<std::uint8_t>(currentHeader)};
        frame.insert(frame.end(), pending.begin(), pending.begin() + 9);
        pending.erase(pending.begin(), pending.begin() + 9);
        parameterLog.push_back(frame);
        note("console: parameter frame " + hex(frame));
        state = State::Idle;
        if (currentFault != ConsoleFault::Silence) answer({kAckByte});
        break;
      }
      case State::Blocks: {
        bool cut = false;
        for (std::size_t i = 0; i + 5 <= pending.size() && i + 5 <= kFullBlock; i += 4) {
          if (markerAt(pending, i)) {
            Bytes block(pending.begin(), pending.begin() + static_cast<long>(i + 5));
            pending.erase(pending.begin(), pending.begin() + static_cast<long>(i + 5));
            onBlock(std::move(block), true);
            cut = true;
            break;
          }
        }
        if (cut) break;
        if (pending.size() >= kFullBlock) {
          Bytes block(pending.begin(), pending.begin() + kFullBlock);
          pending.erase(pending.begin(), pending.begin() + kFullBlock);
          onBlock(std::move(block), false);
          break;
        }
        if (!quiet || pending.empty()) return;
        // A quiet line: a header (sent again, or a new request), or a short last block.
        if (headerAt(pending) &&
            (pending.size() == 4 || pending[1] != currentHeader || ((pending[1] == 11 || pending[1] == 12) && pending.size() == 13))) {
          const int code = pending[1];
          pending.erase(pending.begin(), pending.begin() + 4);
          onHeader(code);
          break;
        }
        Bytes block;
        block.swap(pending);
        onBlock(std::move(block), false);
        break;
      }
    }
  }
}

void ConsoleSimulator::onHeader(int code) {
  headerLog.push_back(code);
  note("console: header " + std::to_string(code));
  if (code == 11 || code == 12) {
    currentHeader = code;
    state = State::Parameter;
    return;
  }
  if (code == 16 || code == 17) {
    state = State::Idle;
    queueUpload(code);
    return;
  }
  const bool again = state == State::Blocks && code == currentHeader && !downloadLog.empty() &&
                     downloadLog.back().data.empty() && !downloadLog.back().complete;
  if (!again) {
    downloadLog.push_back({code, {}, false});
    ackDropped = false;
  }
  currentHeader = code;
  state = State::Blocks;
  if (currentFault != ConsoleFault::Silence) answer({kAckByte});
}

void ConsoleSimulator::onBlock(Bytes bytes, bool byMarker) {
  ConsoleBlock block;
  block.bytes = std::move(bytes);
  unsigned sum = 0;
  for (std::size_t i = 0; i + 1 < block.bytes.size(); ++i) sum += block.bytes[i];
  block.checksumOk = !block.bytes.empty() && static_cast<std::uint8_t>(sum) == block.bytes.back();
  block.final = byMarker || block.bytes.size() < kFullBlock;
  note("console: block " + hex(block.bytes) + (block.checksumOk ? "" : " (bad checksum)"));

  if (currentFault == ConsoleFault::Silence) {
    blockLog.push_back(std::move(block));
    return;
  }
  if (!block.checksumOk || currentFault == ConsoleFault::NakAlways ||
      (currentFault == ConsoleFault::NakOnce && !nakOnceUsed)) {
    if (block.checksumOk) nakOnceUsed = true;
    blockLog.push_back(std::move(block));
    answer({kNakByte});
    return;
  }

  const ConsoleBlock* lastAccepted = nullptr;
  for (auto it = blockLog.rbegin(); it != blockLog.rend(); ++it)
    if (it->accepted) {
      lastAccepted = &*it;
      break;
    }
  if (ackDropped && lastAccepted && lastAccepted->bytes == block.bytes) {
    // The block was taken before; only its answer went missing.
    block.resend = true;
    block.accepted = true;
    ackDropped = false;
    const bool final = block.final;
    blockLog.push_back(std::move(block));
    answer({kAckByte});
    if (final) {
      if (byMarker) answer({kDoneByte});
      state = State::Idle;
    }
    return;
  }

  ConsoleDownload& download = downloadLog.empty() ? downloadLog.emplace_back() : downloadLog.back();
  const std::size_t dataEnd = block.bytes.size() - 1;
  for (std::size_t i = 0; i < dataEnd; i += 4) {
    const std::size_t n = std::min<std::size_t>(4, dataEnd - i);
    if (n == 4 && markerAt(block.bytes, i) && i + 4 == dataEnd) {
      download.data.insert(download.data.end(), {'*', '*', '*', '*'});
    } else {
      download.data.insert(download.data.end(), block.bytes.begin() + static_cast<long>(i),
                           block.bytes.begin() + static_cast<long>(i + n));
    }
  }
  block.accepted = true;
  const bool final = block.final;
  if (final) download.complete = true;
  blockLog.push_back(std::move(block));

  if (currentFault == ConsoleFault::DropAck && !ackDropped) {
    ackDropped = true;
    currentFault = ConsoleFault::None;  // once
    note("console: ACK dropped");
    return;
  }
  answer({kAckByte});
  if (final) {
    if (byMarker) answer({kDoneByte});
    state = State::Idle;
  }
}

void ConsoleSimulator::answer(Bytes bytes) {
  for (std::uint8_t b : bytes) {
    if (b == kAckByte) ++ackCount;
    if (b == kNakByte) ++nakCount;
  }
  note("console: sends " + hex(bytes));
  outgoing.insert(outgoing.end(), bytes.begin(), bytes.end());
}

void ConsoleSimulator::queueUpload(int code) {
  if (currentFault == ConsoleFault::Silence) return;
  const Bytes& file = code == 16 ? structFile : dataFile;
  Bytes stream;
  if (currentFault == ConsoleFault::UploadStall) {
    stream.assign(file.begin(), file.begin() + static_cast<long>(file.size() / 2));
  } else {
    stream = file;
    stream.insert(stream.end(), {'$', '$', '$', '$'});
  }
  uploadLog.push_back(stream);
  Bytes bytes{static_cast<std::uint8_t>(code == 16 ? 0x03 : 0x02)};
  bytes.insert(bytes.end(), stream.begin(), stream.end());
  note("console: uploads " + std::to_string(stream.size()) + " bytes");
  scheduled.push_back({Clock::now() + options.uploadDelay, std::move(bytes)});
}

void ConsoleSimulator::note(const std::string& text) {
  if (observer) observer(text);
}

// ---- Control and observation ----------------------------------------------------------------

void ConsoleSimulator::setFault(ConsoleFault f) {
  std::lock_guard lock(m);
  currentFault = f;
  nakOnceUsed = false;
}

ConsoleFault ConsoleSimulator::fault() const {
  std::lock_guard lock(m);
  return currentFault;
}

void ConsoleSimulator::setUploadFiles(Bytes s, Bytes d) {
  std::lock_guard lock(m);
  structFile = std::move(s);
  dataFile = std::move(d);
}

bool ConsoleSimulator::loadUploadFiles(const std::string& dir, std::string* error) {
  Bytes s, d;
  const std::string base = dir.empty() || dir.back() == '/' ? dir : dir + "/";
  if (!readWhole(base + "AprStruct.bin", s) || !readWhole(base + "AprData.bin", d)) {
    if (error) *error = "cannot read AprStruct.bin and AprData.bin in " + dir;
    return false;
  }
  setUploadFiles(std::move(s), std::move(d));
  return true;
}

Bytes ConsoleSimulator::uploadFile(int code) const {
  std::lock_guard lock(m);
  return code == 16 ? structFile : dataFile;
}

void ConsoleSimulator::sendRaw(const Bytes& bytes) {
  {
    std::lock_guard lock(m);
    outgoing.insert(outgoing.end(), bytes.begin(), bytes.end());
  }
  wake.signal();
}

std::vector<int> ConsoleSimulator::headers() const {
  std::lock_guard lock(m);
  return headerLog;
}
std::vector<Bytes> ConsoleSimulator::parameterFrames() const {
  std::lock_guard lock(m);
  return parameterLog;
}
std::vector<ConsoleBlock> ConsoleSimulator::blocks() const {
  std::lock_guard lock(m);
  return blockLog;
}
std::vector<ConsoleDownload> ConsoleSimulator::downloads() const {
  std::lock_guard lock(m);
  return downloadLog;
}
std::vector<Bytes> ConsoleSimulator::uploadsSent() const {
  std::lock_guard lock(m);
  return uploadLog;
}
int ConsoleSimulator::acks() const {
  std::lock_guard lock(m);
  return ackCount;
}
int ConsoleSimulator::naks() const {
  std::lock_guard lock(m);
  return nakCount;
}
std::size_t ConsoleSimulator::garbageBytes() const {
  std::lock_guard lock(m);
  return garbage;
}

void ConsoleSimulator::clearLog() {
  std::lock_guard lock(m);
  headerLog.clear();
  parameterLog.clear();
  blockLog.clear();
  downloadLog.clear();
  uploadLog.clear();
  ackCount = nakCount = 0;
  garbage = 0;
}

bool ConsoleSimulator::waitFor(const std::function<bool(const ConsoleSimulator&)>& condition,
                               std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (condition(*this)) return true;
    std::unique_lock lock(m);
    changed.wait_for(lock, std::chrono::milliseconds(5));
  }
  return condition(*this);
}

bool ConsoleSimulator::saveDownloads(const std::string& dir, std::string* error) const {
  const auto all = downloads();
  int n = 0;
  for (const ConsoleDownload& d : all) {
    if (!d.complete) continue;
    const std::string path = dir + "/download-" + std::to_string(++n) + ".bin";
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(d.data.data()), static_cast<std::streamsize>(d.data.size()));
    if (!out) {
      if (error) *error = "cannot write " + path;
      return false;
    }
  }
  return true;
}

void ConsoleSimulator::setTrafficObserver(std::function<void(const std::string&)> o) {
  std::lock_guard lock(m);
  observer = std::move(o);
}

bool ConsoleSimulator::control(std::string_view line, std::string* reply) {
  std::istringstream in{std::string(line)};
  std::string verb, arg;
  in >> verb >> arg;
  std::string out;
  bool ok = true;
  if (verb == "fault") {
    static const std::pair<const char*, ConsoleFault> kFaults[] = {
        {"off", ConsoleFault::None},         {"silence", ConsoleFault::Silence},
        {"nak-once", ConsoleFault::NakOnce}, {"nak-always", ConsoleFault::NakAlways},
        {"drop-ack", ConsoleFault::DropAck}, {"stall", ConsoleFault::UploadStall}};
    ok = false;
    for (const auto& [name, f] : kFaults)
      if (arg == name) {
        setFault(f);
        ok = true;
      }
    out = ok ? "OK" : "ERR fault: off, silence, nak-once, nak-always, drop-ack, stall";
  } else if (verb == "status") {
    const auto d = downloads();
    const auto b = blocks();
    std::size_t complete = 0;
    for (const auto& x : d) complete += x.complete ? 1 : 0;
    std::ostringstream s;
    s << "OK headers=" << headers().size() << " blocks=" << b.size() << " downloads=" << d.size()
      << " complete=" << complete << " acks=" << acks() << " naks=" << naks() << " uploads=" << uploadsSent().size();
    if (!d.empty()) s << " last=" << d.back().data.size();
    out = s.str();
  } else if (verb == "files") {
    std::string why;
    ok = loadUploadFiles(arg, &why);
    out = ok ? "OK" : "ERR " + why;
  } else if (verb == "save") {
    std::string why;
    ok = saveDownloads(arg, &why);
    out = ok ? "OK" : "ERR " + why;
  } else if (verb == "send") {
    Bytes bytes;
    std::string word = arg;
    do {
      if (word.empty()) break;
      char* end = nullptr;
      const unsigned long v = std::strtoul(word.c_str(), &end, 16);
      if (*end != '\0' || v > 0xFF) {
        ok = false;
        break;
      }
      bytes.push_back(static_cast<std::uint8_t>(v));
    } while (in >> word);
    if (ok) sendRaw(bytes);
    out = ok ? "OK" : "ERR send: hexadecimal bytes";
  } else if (verb == "clear") {
    clearLog();
    out = "OK";
  } else {
    ok = false;
    out = "ERR console: fault NAME | status | files DIR | save DIR | send HEX... | clear";
  }
  if (reply) *reply = out;
  return ok;
}

}  // namespace kestro::sim
