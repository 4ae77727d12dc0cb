#include "kestro_sim/simulator.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kestro::sim {

namespace {

constexpr std::size_t kLogLimit = 100000;
constexpr milliseconds kPartialUnitTimeout{500};

// Bytes that can never start a message or a data-bag unit: no upper-case letters, no SOH,
// ETX, ACK or NAK.
constexpr std::uint8_t kGarbage[] = {0x00, 0x02, 0x04, 0x07, 0x10, 0x1F, 0x20, 0x2A, 0x30,
                                     0x39, 0x40, 0x5B, 0x61, 0x7A, 0x7F, 0x80, 0xC3, 0xFF};

bool isHandshakeEcho(std::string_view text) {
  static constexpr std::string_view echoes[] = {"PR0", "PR1", "PR2", "XR0", "XR1", "XR2",
                                                "FLP0", "FLP1", "FLX0", "FLX1", "CA2"};
  return std::find(std::begin(echoes), std::end(echoes), text) != std::end(echoes);
}

bool isErrorItem(std::string_view text) {
  return text.size() == 5 && (text.substr(0, 2) == "ER" || text.substr(0, 2) == "EL") &&
         std::all_of(text.begin() + 2, text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string threeDigits(const char* prefix, int code) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%s%03d", prefix, ((code % 1000) + 1000) % 1000);
  return buf;
}

int ceilMs(Clock::duration d) {
  auto ms = std::chrono::ceil<milliseconds>(d).count();
  return static_cast<int>(std::clamp<long long>(ms, 0, 60000));
}

}  // namespace

bool HandshakeResult::allEchoed() const {
  return !steps.empty() && std::all_of(steps.begin(), steps.end(), [](const HandshakeStep& s) { return s.echoed; });
}

const HandshakeStep* HandshakeResult::step(std::string_view message) const {
  for (const HandshakeStep& s : steps)
    if (s.message == message) return &s;
  return nullptr;
}

Simulator::Simulator(SimulatorOptions opts) : options(std::move(opts)), random(options.seed) {}

Simulator::~Simulator() { stop(); }

bool Simulator::start(std::string* error) {
  std::lock_guard stopLock(stopMutex);
  std::unique_lock lock(m);
  if (running) return true;
  if (!openLineLocked(error)) return false;
  stopping = false;
  running = true;
  ioThread = std::thread(&Simulator::ioLoop, this);
  workerThread = std::thread(&Simulator::workerLoop, this);
  return true;
}

void Simulator::stop() {
  std::lock_guard stopLock(stopMutex);
  {
    std::lock_guard lock(m);
    if (!running) return;
    stopping = true;
  }
  wake.signal();
  changed.notify_all();
  workerWake.notify_all();
  if (ioThread.joinable()) ioThread.join();
  if (workerThread.joinable()) workerThread.join();
  std::lock_guard lock(m);
  closeLineLocked();
  outQueue.clear();
  if (!options.linkPath.empty() && options.devicePath.empty()) ::unlink(options.linkPath.c_str());
  if (handshake.running) {
    handshake.running = false;
    handshake.aborted = true;
  }
  running = false;
  changed.notify_all();
}

bool Simulator::isRunning() const {
  std::lock_guard lock(m);
  return running;
}

std::string Simulator::portPath() const {
  std::lock_guard lock(m);
  return options.linkPath.empty() ? port.path() : options.linkPath;
}

// ---------------------------------------------------------------------------------------
// Line

bool Simulator::openLineLocked(std::string* error) {
  bool ok = options.devicePath.empty() ? port.openPty(error) : port.openDevice(options.devicePath, error);
  if (!ok) return false;
  if (!options.linkPath.empty() && options.devicePath.empty()) {
    ::unlink(options.linkPath.c_str());
    if (::symlink(port.path().c_str(), options.linkPath.c_str()) != 0) {
      if (error != nullptr) *error = "symlink " + options.linkPath + ": " + std::strerror(errno);
      port.close();
      return false;
    }
  }
  faultSettings.disconnected = false;
  parser.reset();
  observeLocked("line open " + port.path());
  return true;
}

void Simulator::closeLineLocked() {
  if (port.isOpen()) observeLocked("line closed");
  port.close();
  stats.framesDropped += outQueue.empty() ? 0 : 1;
  outQueue.clear();
  parser.reset();
}

bool Simulator::requestLine(LineRequest request, std::string* error) {
  std::unique_lock lock(m);
  if (!running) {
    if (request == LineRequest::Disconnect) {
      closeLineLocked();
      faultSettings.disconnected = true;
      return true;
    }
    closeLineLocked();
    return openLineLocked(error);
  }
  changed.wait(lock, [&] { return lineRequest == LineRequest::None || stopping; });
  if (stopping) return false;
  lineRequest = request;
  lineRequestDone = false;
  wake.signal();
  changed.wait(lock, [&] { return lineRequestDone || stopping; });
  if (!lineRequestDone) return false;
  lineRequestDone = false;
  if (!lineRequestOk && error != nullptr) *error = lineRequestError;
  return lineRequestOk;
}

bool Simulator::disconnect() { return requestLine(LineRequest::Disconnect, nullptr); }

bool Simulator::reconnect(std::string* error) { return requestLine(LineRequest::Reconnect, error); }

// ---------------------------------------------------------------------------------------
// I/O thread

void Simulator::ioLoop() {
  std::vector<std::uint8_t> buffer(4096);
  std::vector<WireUnit> units;
  std::unique_lock lock(m);
  while (!stopping) {
    if (lineRequest != LineRequest::None) {
      closeLineLocked();
      if (lineRequest == LineRequest::Disconnect) {
        faultSettings.disconnected = true;
        lineRequestOk = true;
      } else {
        lineRequestError.clear();
        lineRequestOk = openLineLocked(&lineRequestError);
        if (!lineRequestOk) faultSettings.disconnected = true;
      }
      lineRequest = LineRequest::None;
      lineRequestDone = true;
      changed.notify_all();
    }

    Clock::time_point now = Clock::now();
    writeDueLocked(now);

    int timeout = -1;
    bool wantOut = false;
    if (!outQueue.empty() && port.isOpen()) {
      if (outQueue.front().due <= now) wantOut = true;  // the line is full: wait until it drains
      else timeout = ceilMs(outQueue.front().due - now);
    }
    if (parser.midUnit()) {
      int left = ceilMs(lastByteTime + kPartialUnitTimeout - now);
      timeout = timeout < 0 ? left : std::min(timeout, left);
    }
    const int fd = port.handle();
    lock.unlock();
    pollfd fds[2]{};
    fds[0].fd = wake.handle();
    fds[0].events = POLLIN;
    fds[1].fd = fd;
    fds[1].events = static_cast<short>(POLLIN | (wantOut ? POLLOUT : 0));
    const int ready = ::poll(fds, fd >= 0 ? 2 : 1, timeout);
    lock.lock();
    if (ready < 0) continue;  // EINTR
    if (fds[0].revents != 0) wake.drain();

    now = Clock::now();
    if (fd >= 0 && fd == port.handle() && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      bool gotData = false;
      long n = 0;
      while ((n = port.readSome(buffer.data(), buffer.size())) > 0) {
        gotData = true;
        lastByteTime = now;
        units.clear();
        parser.feed(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)), units);
        stats.discardedBytes = parser.discardedBytes();
        for (WireUnit& unit : units) handleUnitLocked(std::move(unit));
      }
      const bool hangUp = n < 0 || (!gotData && (fds[1].revents & (POLLHUP | POLLERR)) != 0);
      if (hangUp) {
        observeLocked("line hang-up");
        closeLineLocked();
        faultSettings.disconnected = true;
        changed.notify_all();
      }
    }
    if (parser.midUnit() && now - lastByteTime >= kPartialUnitTimeout) {
      parser.reset();
      stats.discardedBytes = parser.discardedBytes();
      changed.notify_all();
    }
  }
}

void Simulator::writeDueLocked(Clock::time_point now) {
  while (!outQueue.empty()) {
    if (!port.isOpen()) {
      outQueue.clear();
      return;
    }
    OutChunk& chunk = outQueue.front();
    if (chunk.due > now) return;
    long n = port.writeSome(chunk.bytes.data(), chunk.bytes.size());
    if (n < 0) {
      outQueue.clear();
      return;
    }
    if (n == 0) return;
    changed.notify_all();
    ++stats.chunksWritten;
    stats.bytesWritten += static_cast<std::uint64_t>(n);
    if (static_cast<std::size_t>(n) < chunk.bytes.size()) {
      chunk.bytes.erase(chunk.bytes.begin(), chunk.bytes.begin() + n);
    } else {
      outQueue.pop_front();
    }
  }
}

void Simulator::emitLocked(Bytes frame, Origin origin, std::string what) {
  const Clock::time_point now = Clock::now();
  SentFrame record;
  record.time = now;
  record.frame = frame;
  record.what = std::move(what);
  record.spontaneous = origin == Origin::Spontaneous;
  record.injected = origin == Origin::Injected;

  const bool faulty = origin != Origin::Injected;
  bool drop = !port.isOpen();
  if (faulty && !drop) {
    if (faultSettings.silence || faultSettings.drop == DropMode::All) {
      drop = true;
    } else if (faultSettings.drop == DropMode::Once) {
      drop = true;
      faultSettings.drop = DropMode::Off;
    }
  }
  if (drop) {
    record.dropped = true;
    ++stats.framesDropped;
    observeLocked("TX dropped " + printable(record.what));
  } else {
    Bytes out = std::move(frame);
    if (faulty && faultSettings.badChecksum && out.size() > 1) out.back() = static_cast<std::uint8_t>(out.back() + 1);
    if (faulty && faultSettings.garbage) {
      std::uniform_int_distribution<int> count(1, 4);
      std::uniform_int_distribution<std::size_t> pick(0, std::size(kGarbage) - 1);
      Bytes prefix;
      for (int i = count(random); i > 0; --i) prefix.push_back(kGarbage[pick(random)]);
      out.insert(out.begin(), prefix.begin(), prefix.end());
    }
    Clock::time_point due = now + (faulty ? faultSettings.slow : milliseconds(0));
    if (!outQueue.empty()) due = std::max(due, outQueue.back().due);
    if (faulty && faultSettings.split && out.size() > 1) {
      std::uniform_int_distribution<std::size_t> size(1, 3);
      std::size_t at = 0;
      while (at < out.size()) {
        std::size_t n = std::min(size(random), out.size() - at);
        outQueue.push_back({due, Bytes(out.begin() + static_cast<long>(at), out.begin() + static_cast<long>(at + n))});
        at += n;
        due += faultSettings.splitGap;
      }
    } else {
      outQueue.push_back({due, std::move(out)});
    }
    ++stats.framesSent;
    observeLocked("TX " + printable(record.what));
    // What is due now goes out at once, so an answer does not wait for the I/O loop
    // to come round; what must wait (a slow line, the later chunks of a split frame,
    // a full line) is the loop's, which is woken unless this is the loop itself.
    writeDueLocked(now);
    if (!outQueue.empty() && std::this_thread::get_id() != ioThread.get_id()) wake.signal();
  }
  sentLog.push_back(std::move(record));
  if (sentLog.size() > kLogLimit) sentLog.pop_front();
}

// ---------------------------------------------------------------------------------------
// Received units

void Simulator::handleUnitLocked(WireUnit unit) {
  ReceivedUnit entry;
  entry.seq = nextSeq++;
  entry.time = Clock::now();
  entry.unit = std::move(unit);
  ++stats.unitsReceived;
  if (entry.unit.kind == UnitKind::Command) ++stats.commands;
  else ++stats.dataBags;

  if (!entry.unit.checksumOk) {
    ++stats.badChecksums;
    entry.note = "bad checksum";
  } else if (entry.unit.kind == UnitKind::Command) {
    handleCommandLocked(entry);
  } else {
    handleDataBagLocked(entry);
  }

  if (entry.unit.kind == UnitKind::Command) {
    observeLocked("RX " + printable(entry.unit.text) + " [" + entry.note + "]");
    if (entry.unit.checksumOk) lastCommand[entry.unit.text] = LastSeen{entry.seq, entry.time};
  } else {
    observeLocked("RX bag " + std::to_string(entry.unit.bagIndex) + " " + toHex(entry.unit.bagData) + " [" +
                  entry.note + "]");
  }
  log.push_back(std::move(entry));
  if (log.size() > kLogLimit) log.pop_front();
  changed.notify_all();
}

void Simulator::handleCommandLocked(ReceivedUnit& entry) {
  const std::string& text = entry.unit.text;
  if (isHandshakeEcho(text)) {
    ++stats.echoes;
    entry.note = "echo";
    return;
  }
  if (isErrorItem(text)) {
    ++stats.echoes;
    entry.note = "error echo";
    for (auto it = errors.rbegin(); it != errors.rend(); ++it) {
      if (it->item == text && !it->acknowledged) {
        it->acknowledged = true;
        break;
      }
    }
    return;
  }
  std::optional<std::string> answer = model.answer(text);
  if (!answer) {
    ++stats.unknownCommands;
    entry.note = "unknown";
    return;
  }
  entry.note = "answered";
  emitLocked(frameText(*answer), Origin::Answer, *answer);
}

void Simulator::handleDataBagLocked(ReceivedUnit& entry) {
  const std::uint8_t index = entry.unit.bagIndex;
  const std::span<const std::uint8_t> data(entry.unit.bagData);
  BagAnswer answer;
  if (std::optional<BagAnswer> configured = configuredBagAnswerLocked(index, data)) {
    answer = std::move(*configured);
  } else if (DataBagStore::isWrite(index, data) && faultSettings.nak != NakMode::Off) {
    if (faultSettings.nak == NakMode::Once) faultSettings.nak = NakMode::Off;
    answer.kind = BagAnswerKind::Nak;
    answer.index = index;
  } else {
    answer = bags.handle(index, data);
    applyFeaturesLocked(index, data, answer);
  }
  switch (answer.kind) {
    case BagAnswerKind::Reply:
      entry.note = "reply";
      emitLocked(frameDataBag(index, answer.data), Origin::Answer,
                 "bag " + std::to_string(index) + " reply " + toHex(answer.data));
      break;
    case BagAnswerKind::Ack:
      entry.note = "ack";
      ++stats.acks;
      emitLocked(Bytes{kAck}, Origin::Answer, "ACK");
      break;
    case BagAnswerKind::Nak:
      entry.note = "nak";
      ++stats.naks;
      emitLocked(Bytes{kNak}, Origin::Answer, "NAK");
      break;
    case BagAnswerKind::None:
      entry.note = "no answer";
      break;
  }
}

void Simulator::observeLocked(const std::string& text) {
  if (observer) observer(text);
}

void Simulator::setTrafficObserver(std::function<void(const std::string&)> fn) {
  std::lock_guard lock(m);
  observer = std::move(fn);
}

// ---------------------------------------------------------------------------------------
// Handshakes

bool Simulator::echoSeenLocked(const std::string& text, std::uint64_t since, Clock::time_point* when) const {
  auto it = lastCommand.find(text);
  if (it == lastCommand.end() || it->second.seq < since) return false;
  if (when != nullptr) *when = it->second.time;
  return true;
}

bool Simulator::handshakeStepLocked(std::unique_lock<std::mutex>& lock, const std::string& message,
                                    HandshakeResult& result) {
  HandshakeStep step;
  step.message = message;
  const std::uint64_t mark = nextSeq;
  const Clock::time_point sentAt = Clock::now();
  emitLocked(frameText(message), Origin::Spontaneous, message);
  changed.notify_all();
  const Clock::time_point deadline = sentAt + options.echoTimeout;
  changed.wait_until(lock, deadline, [&] { return stopping || echoSeenLocked(message, mark, nullptr); });
  Clock::time_point echoedAt;
  if (echoSeenLocked(message, mark, &echoedAt)) {
    step.echoed = true;
    step.echoDelay = std::chrono::duration_cast<milliseconds>(echoedAt - sentAt);
  }
  result.steps.push_back(step);
  changed.notify_all();
  return step.echoed;
}

void Simulator::runExposureLocked(std::unique_lock<std::mutex>& lock, int ms) {
  HandshakeResult& r = handshake;
  const bool strict = options.strictHandshake;
  auto finish = [&](bool completed) {
    r.completed = completed;
    r.aborted = !completed;
    r.running = false;
    changed.notify_all();
  };
  auto abortAfter = [&](bool exposing) {
    if (exposing) {
      model.setState(GenState::AfterExposure);
      handshakeStepLocked(lock, "XR0", r);
    }
    model.setState(GenState::Ready);
    handshakeStepLocked(lock, "PR0", r);
    finish(false);
  };

  model.setState(GenState::Prep);
  if (!handshakeStepLocked(lock, "PR1", r) && strict) return abortAfter(false);
  if (stopping) return finish(false);
  model.setState(GenState::ReadyToExpose);
  if (!handshakeStepLocked(lock, "PR2", r) && strict) return abortAfter(false);
  if (stopping) return finish(false);
  model.setState(GenState::Exposing);
  const Clock::time_point exposureStart = Clock::now();
  if (!handshakeStepLocked(lock, "XR1", r) && strict) return abortAfter(true);
  const Clock::time_point exposureEnd = exposureStart + milliseconds(ms);
  if (workerWake.wait_until(lock, exposureEnd, [&] { return stopping; })) return finish(false);
  model.setState(GenState::AfterExposure);
  handshakeStepLocked(lock, "XR0", r);
  const std::string post = model.recordExposure(ms);
  emitLocked(frameText(post), Origin::Spontaneous, post);
  model.setState(GenState::Ready);
  handshakeStepLocked(lock, "PR0", r);
  finish(!stopping);
}

void Simulator::runFluoroLocked(std::unique_lock<std::mutex>& lock) {
  HandshakeResult& r = handshake;
  const bool strict = options.strictHandshake;
  auto finish = [&](bool completed) {
    fluoroOffRequested = false;
    r.completed = completed;
    r.aborted = !completed;
    r.running = false;
    changed.notify_all();
  };

  model.setState(GenState::FluoroPrep);
  if (!handshakeStepLocked(lock, "FLP1", r) && strict) {
    model.setState(GenState::Ready);
    handshakeStepLocked(lock, "FLP0", r);
    return finish(false);
  }
  model.setState(GenState::FluoroOn);
  if (!handshakeStepLocked(lock, "FLX1", r) && strict) {
    model.setState(GenState::FluoroPrepared);
    handshakeStepLocked(lock, "FLX0", r);
    model.setState(GenState::Ready);
    handshakeStepLocked(lock, "FLP0", r);
    return finish(false);
  }
  Clock::time_point last = Clock::now();
  while (!stopping && !fluoroOffRequested) {
    workerWake.wait_for(lock, options.heatReportPeriod, [&] { return stopping || fluoroOffRequested; });
    const Clock::time_point now = Clock::now();
    model.addFluoroTime(static_cast<int>(std::chrono::duration_cast<milliseconds>(now - last).count()));
    last = now;
    if (stopping || fluoroOffRequested) break;
    const std::string heat = model.item("HE");
    emitLocked(frameText(heat), Origin::Spontaneous, heat);
  }
  if (stopping) return finish(false);
  model.setState(GenState::FluoroPrepared);
  handshakeStepLocked(lock, "FLX0", r);
  model.setState(GenState::Ready);
  handshakeStepLocked(lock, "FLP0", r);
  finish(true);
}

void Simulator::workerLoop() {
  std::unique_lock lock(m);
  while (!stopping) {
    workerWake.wait(lock, [&] { return stopping || exposeRequested || fluoroRequested; });
    if (stopping) break;
    workerBusy = true;
    if (exposeRequested) {
      exposeRequested = false;
      runExposureLocked(lock, exposeMs);
    } else {
      fluoroRequested = false;
      runFluoroLocked(lock);
    }
    workerBusy = false;
    changed.notify_all();
  }
}

bool Simulator::idleForHandshakeLocked(std::string* why) const {
  auto fail = [&](const char* text) {
    if (why != nullptr) *why = text;
    return false;
  };
  if (!running) return fail("not running");
  if (workerBusy || exposeRequested || fluoroRequested || handshake.running) return fail("a handshake is running");
  return true;
}

bool Simulator::startExposure(int ms, std::string* why) {
  std::lock_guard lock(m);
  if (!idleForHandshakeLocked(why)) return false;
  exposeMs = ms > 0 ? ms : std::max(1, model.value("MS").value_or(1000) / 10);
  exposeRequested = true;
  handshake = HandshakeResult{};
  handshake.kind = "expose";
  handshake.running = true;
  handshake.exposureMs = exposeMs;
  workerWake.notify_all();
  return true;
}

bool Simulator::startFluoro(std::string* why) {
  std::lock_guard lock(m);
  if (!idleForHandshakeLocked(why)) return false;
  fluoroRequested = true;
  fluoroOffRequested = false;
  handshake = HandshakeResult{};
  handshake.kind = "fluoro";
  handshake.running = true;
  workerWake.notify_all();
  return true;
}

bool Simulator::stopFluoro(std::string* why) {
  std::lock_guard lock(m);
  if (handshake.kind != "fluoro" || !handshake.running) {
    if (why != nullptr) *why = "fluoroscopy is not on";
    return false;
  }
  fluoroOffRequested = true;
  workerWake.notify_all();
  return true;
}

bool Simulator::waitHandshakeDone(milliseconds timeout) const {
  std::unique_lock lock(m);
  return changed.wait_for(lock, timeout, [&] { return !handshake.running; });
}

HandshakeResult Simulator::lastHandshake() const {
  std::lock_guard lock(m);
  return handshake;
}

bool Simulator::waitForState(int s, milliseconds timeout) const {
  std::unique_lock lock(m);
  return changed.wait_for(lock, timeout, [&] { return model.state() == s; });
}

void Simulator::setEchoTimeout(milliseconds timeout) {
  std::lock_guard lock(m);
  options.echoTimeout = timeout;
}

void Simulator::setStrictHandshake(bool strict) {
  std::lock_guard lock(m);
  options.strictHandshake = strict;
}

void Simulator::setHeatReportPeriod(milliseconds period) {
  std::lock_guard lock(m);
  options.heatReportPeriod = std::max(period, milliseconds(10));
}

// ---------------------------------------------------------------------------------------
// Generator values, errors, data bags

int Simulator::state() const {
  std::lock_guard lock(m);
  return model.state();
}

void Simulator::setState(int s) {
  std::lock_guard lock(m);
  model.setState(s);
  changed.notify_all();
}

std::optional<int> Simulator::value(std::string_view name) const {
  std::lock_guard lock(m);
  return model.value(name);
}

bool Simulator::setValue(std::string_view name, int v) {
  std::lock_guard lock(m);
  bool ok = model.setValue(name, v);
  changed.notify_all();
  return ok;
}

void Simulator::setRefuseTechnique(bool on) {
  std::lock_guard lock(m);
  model.refuseTechnique = on;
}

void Simulator::reportError(int code) {
  std::lock_guard lock(m);
  std::string item = threeDigits("ER", code);
  errors.push_back({item, false});
  emitLocked(frameText(item), Origin::Spontaneous, item);
}

void Simulator::reportWarning(int code) {
  std::lock_guard lock(m);
  std::string item = threeDigits("EL", code);
  errors.push_back({item, false});
  emitLocked(frameText(item), Origin::Spontaneous, item);
}

std::vector<ErrorReport> Simulator::errorReports() const {
  std::lock_guard lock(m);
  return errors;
}

std::optional<Bytes> Simulator::bagRecord(int index, const Bytes& selector) {
  std::lock_guard lock(m);
  return bags.read(index, selector);
}

bool Simulator::putBagRecord(int index, const Bytes& selector, const Bytes& replyData) {
  std::lock_guard lock(m);
  return bags.put(index, selector, replyData);
}

// ---------------------------------------------------------------------------------------
// Faults

bool Simulator::setFault(std::string_view name, bool on) {
  if (name == "disconnect") return on ? disconnect() : reconnect();
  std::lock_guard lock(m);
  FaultSettings& f = faultSettings;
  if (name == "silence") f.silence = on;
  else if (name == "bad-checksum") f.badChecksum = on;
  else if (name == "garbage") f.garbage = on;
  else if (name == "split") f.split = on;
  else if (name == "drop") f.drop = on ? DropMode::All : DropMode::Off;
  else if (name == "drop-once") f.drop = on ? DropMode::Once : DropMode::Off;
  else if (name == "nak") f.nak = on ? NakMode::All : NakMode::Off;
  else if (name == "nak-once") f.nak = on ? NakMode::Once : NakMode::Off;
  else if (name == "slow" && !on) f.slow = milliseconds(0);
  else return false;
  return true;
}

void Simulator::setSlow(milliseconds delay) {
  std::lock_guard lock(m);
  faultSettings.slow = std::max(delay, milliseconds(0));
}

void Simulator::setSplit(bool on, milliseconds gap) {
  std::lock_guard lock(m);
  faultSettings.split = on;
  faultSettings.splitGap = std::max(gap, milliseconds(0));
}

void Simulator::setDrop(DropMode mode) {
  std::lock_guard lock(m);
  faultSettings.drop = mode;
}

void Simulator::setNak(NakMode mode) {
  std::lock_guard lock(m);
  faultSettings.nak = mode;
}

void Simulator::clearFaults() {
  std::lock_guard lock(m);
  const bool disconnected = faultSettings.disconnected;
  faultSettings = FaultSettings{};
  faultSettings.disconnected = disconnected;
}

FaultSettings Simulator::faults() const {
  std::lock_guard lock(m);
  return faultSettings;
}

// ---------------------------------------------------------------------------------------
// Injection and observation

void Simulator::sendRaw(const Bytes& bytes) {
  std::lock_guard lock(m);
  emitLocked(bytes, Origin::Injected, "raw " + toHex(bytes));
}

void Simulator::sendMessage(std::string_view text) {
  std::lock_guard lock(m);
  emitLocked(frameText(text), Origin::Injected, std::string(text));
}

std::vector<ReceivedUnit> Simulator::received() const {
  std::lock_guard lock(m);
  return {log.begin(), log.end()};
}

std::vector<SentFrame> Simulator::sent() const {
  std::lock_guard lock(m);
  return {sentLog.begin(), sentLog.end()};
}

std::uint64_t Simulator::logMark() const {
  std::lock_guard lock(m);
  return nextSeq;
}

void Simulator::clearLog() {
  std::lock_guard lock(m);
  log.clear();
  sentLog.clear();
}

SimCounters Simulator::counters() const {
  std::lock_guard lock(m);
  return stats;
}

bool Simulator::waitForUnit(const std::function<bool(const ReceivedUnit&)>& match, milliseconds timeout,
                            std::uint64_t since) const {
  std::unique_lock lock(m);
  std::uint64_t from = since;
  auto found = [&] {
    auto it = std::lower_bound(log.begin(), log.end(), from,
                               [](const ReceivedUnit& u, std::uint64_t seq) { return u.seq < seq; });
    for (; it != log.end(); ++it)
      if (match(*it)) return true;
    from = nextSeq;
    return false;
  };
  return changed.wait_for(lock, timeout, found);
}

bool Simulator::waitForCommand(std::string_view text, milliseconds timeout, std::uint64_t since) const {
  return waitForUnit(
      [&](const ReceivedUnit& u) {
        return u.unit.kind == UnitKind::Command && u.unit.checksumOk && u.unit.text == text;
      },
      timeout, since);
}

bool Simulator::waitForDataBag(int index, milliseconds timeout, std::uint64_t since) const {
  return waitForUnit(
      [&](const ReceivedUnit& u) {
        return u.unit.kind == UnitKind::DataBag && u.unit.checksumOk && u.unit.bagIndex == index;
      },
      timeout, since);
}

std::size_t Simulator::countCommand(std::string_view text) const {
  std::lock_guard lock(m);
  return static_cast<std::size_t>(std::count_if(log.begin(), log.end(), [&](const ReceivedUnit& u) {
    return u.unit.kind == UnitKind::Command && u.unit.checksumOk && u.unit.text == text;
  }));
}

bool Simulator::waitForCounters(const std::function<bool(const SimCounters&)>& condition,
                                milliseconds timeout) const {
  std::unique_lock lock(m);
  return changed.wait_for(lock, timeout, [&] { return condition(stats); });
}

bool Simulator::quitRequested() const {
  std::lock_guard lock(m);
  return quit;
}

}  // namespace kestro::sim
