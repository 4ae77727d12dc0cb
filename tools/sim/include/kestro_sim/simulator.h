// kestro-sim: a generator on the far end of the serial line.
//
// Serves the master side of a pseudo-terminal it creates (or a device it is given) on its
// own I/O thread, answers the library's commands and data bags, runs the radiography and
// fluoroscopy handshakes on request, reports errors, injects faults, and records every
// unit it receives so that tests can wait for them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "kestro_sim/data_bags.h"
#include "kestro_sim/frames.h"
#include "kestro_sim/generator_model.h"
#include "kestro_sim/serial_endpoint.h"

namespace kestro::sim {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct SimulatorOptions {
  std::string devicePath;  // empty: create a pseudo-terminal
  std::string linkPath;    // optional symbolic link kept pointing at the pty slave
  milliseconds echoTimeout{1000};
  milliseconds heatReportPeriod{500};
  bool strictHandshake = true;  // a missing echo of PR1/PR2/XR1/FLP1/FLX1 aborts
  std::uint32_t seed = 1;       // random garbage and split sizes
};

enum class DropMode { Off, Once, All };
enum class NakMode { Off, Once, All };

struct FaultSettings {
  bool silence = false;
  bool badChecksum = false;
  bool garbage = false;
  milliseconds slow{0};
  bool split = false;
  milliseconds splitGap{5};
  DropMode drop = DropMode::Off;
  NakMode nak = NakMode::Off;  // writes of data bags are refused
  bool disconnected = false;
};

struct ReceivedUnit {
  std::uint64_t seq = 0;
  Clock::time_point time;
  WireUnit unit;
  std::string note;  // "answered", "unknown", "echo", "bad checksum", "ack", "nak", "reply", ...
};

struct SentFrame {
  Clock::time_point time;
  Bytes frame;       // as the generator meant it, before faults
  std::string what;  // message text, or a description of a data-bag answer
  bool spontaneous = false;
  bool injected = false;
  bool dropped = false;
};

struct SimCounters {
  std::uint64_t unitsReceived = 0;
  std::uint64_t commands = 0;
  std::uint64_t dataBags = 0;
  std::uint64_t badChecksums = 0;
  std::uint64_t unknownCommands = 0;
  std::uint64_t echoes = 0;
  std::uint64_t framesSent = 0;     // frames handed to the line (after faults)
  std::uint64_t framesDropped = 0;  // silenced, dropped, or lost while disconnected
  std::uint64_t chunksWritten = 0;  // write() calls that put bytes on the line
  std::uint64_t bytesWritten = 0;
  std::uint64_t acks = 0;
  std::uint64_t naks = 0;
  std::uint64_t discardedBytes = 0;  // received bytes that started no unit
};

struct HandshakeStep {
  std::string message;  // "PR1", "XR0", "FLP1", ...
  bool echoed = false;
  milliseconds echoDelay{0};
};

struct HandshakeResult {
  std::string kind;  // "expose" or "fluoro"; empty before the first
  bool running = false;
  bool completed = false;  // ran to its end
  bool aborted = false;    // ended early on a missing echo (or a stop)
  int exposureMs = 0;
  std::vector<HandshakeStep> steps;

  bool allEchoed() const;
  const HandshakeStep* step(std::string_view message) const;
};

struct ErrorReport {
  std::string item;  // "ER220", "EL012"
  bool acknowledged = false;
};

class Simulator {
 public:
  explicit Simulator(SimulatorOptions options = {});
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Opens the line and starts the threads.
  bool start(std::string* error = nullptr);
  // Stops and joins the threads and closes the line. Safe to call twice.
  void stop();
  bool isRunning() const;
  // The path the library opens: the pty slave (or the link to it), or the device.
  std::string portPath() const;

  // --- the generator ---------------------------------------------------------------
  int state() const;
  void setState(int state);
  std::optional<int> value(std::string_view name) const;
  bool setValue(std::string_view name, int value);
  void setRefuseTechnique(bool on);

  // Radiography: PR1, PR2, XR1, (exposure), XR0, post-exposure values, PR0, each sent
  // message waiting for the library's echo. milliseconds 0 uses the current "MS" value.
  bool startExposure(int exposureMs = 0, std::string* why = nullptr);
  // Fluoroscopy: FLP1, FLX1, then "HE" reports until stopFluoro: FLX0, FLP0.
  bool startFluoro(std::string* why = nullptr);
  bool stopFluoro(std::string* why = nullptr);
  bool waitHandshakeDone(milliseconds timeout) const;
  HandshakeResult lastHandshake() const;
  bool waitForState(int state, milliseconds timeout) const;

  void setEchoTimeout(milliseconds timeout);
  void setStrictHandshake(bool strict);
  void setHeatReportPeriod(milliseconds period);

  // "ER" / "EL" with three digits, alone in a message.
  void reportError(int code);
  void reportWarning(int code);
  std::vector<ErrorReport> errorReports() const;

  // --- data bags ---------------------------------------------------------------------
  std::optional<Bytes> bagRecord(int index, const Bytes& selector = {});
  bool putBagRecord(int index, const Bytes& selector, const Bytes& replyData);

  // --- configured answers (src/generator_config.cpp) ------------------------------------
  // The dose-rate curve: the twelve 16-bit values of bag 13, curve 1 (40..150 kV).
  bool setDoseRateTable(const std::vector<int>& values);
  // How the compatibility bag (22) answers an entry: echo what was written (the
  // default), echo it with bytes 2..9 replaced by fixed bits, or refuse the entry's
  // writes with a NAK.
  enum class CompatMode { Echo, Fixed, Refuse };
  void setCompatAnswer(int entry, CompatMode mode, const Bytes& fixedBytes = {});
  // The tube heat limits: reply bytes 435 and 436 of the tube's Tube Select record
  // (bytes 19 and 20 of the library's packet).
  bool setHeatLimits(int first, int second, int tube = 1);
  // Byte 1 of a receptor's Auxiliary Setup record (the working tube: 2 is the second).
  bool setTubeByte(int receptor, int value);

  // --- whole data set (data_set.cpp) ---------------------------------------------------
  // Feature bits the compatibility answer reports (Compatible Information, entry 0, byte 2:
  // bit 0 1 ms, 1 second tube, 2 ABS dose rate, 3 fluoro/rad curves, 4 AEC data per
  // channel, 5 DAP calibration, 6 function config, 7 dynamic filament calibration).
  // nullopt: the answer is the stored record, as written.
  void setFeatures(std::optional<std::uint8_t> bits);
  std::optional<std::uint8_t> features() const;
  // Every data-bag record and the feature bits, as text (one record a line).
  bool saveDataSet(const std::string& path, std::string* error = nullptr) const;
  bool loadDataSet(const std::string& path, std::string* error = nullptr);

  // --- faults --------------------------------------------------------------------------
  // By name: "silence", "bad-checksum", "garbage", "split", "drop" (every frame),
  // "drop-once", "nak" (every write), "nak-once", "slow" (off only; use setSlow),
  // "disconnect" (on: disconnect, off: reconnect). False for an unknown name.
  bool setFault(std::string_view name, bool on);
  void setSlow(milliseconds delay);
  void setSplit(bool on, milliseconds gap = milliseconds(5));
  void setDrop(DropMode mode);
  void setNak(NakMode mode);
  void clearFaults();
  FaultSettings faults() const;
  // Closes the line: the peer of a pty sees a hang-up. reconnect opens a new pty (a new
  // slave path, and the link moved to it) or reopens the device.
  bool disconnect();
  bool reconnect(std::string* error = nullptr);

  // --- injection (no faults applied) --------------------------------------------------
  void sendRaw(const Bytes& bytes);
  void sendMessage(std::string_view text);  // framed as text, ETX, checksum

  // --- observation ---------------------------------------------------------------------
  std::vector<ReceivedUnit> received() const;
  std::vector<SentFrame> sent() const;
  // The sequence number the next received unit will get; pass it as `since`.
  std::uint64_t logMark() const;
  void clearLog();
  SimCounters counters() const;
  // True when a unit matching arrives (or has arrived with seq >= since) before the timeout.
  bool waitForCommand(std::string_view text, milliseconds timeout, std::uint64_t since = 0) const;
  bool waitForDataBag(int index, milliseconds timeout, std::uint64_t since = 0) const;
  bool waitForUnit(const std::function<bool(const ReceivedUnit&)>& match, milliseconds timeout,
                   std::uint64_t since = 0) const;
  std::size_t countCommand(std::string_view text) const;
  // True when the counters satisfy the condition before the timeout.
  bool waitForCounters(const std::function<bool(const SimCounters&)>& condition, milliseconds timeout) const;

  // One line of the control language (see README). reply gets "OK ..." or "ERR ...".
  bool control(std::string_view line, std::string* reply = nullptr);
  bool quitRequested() const;

  // Called for each unit received and each frame sent, with a readable line; called with
  // the simulator's lock held, so it must not call back into the simulator.
  void setTrafficObserver(std::function<void(const std::string&)> observer);

 private:
  enum class Origin { Answer, Spontaneous, Injected };
  enum class LineRequest { None, Disconnect, Reconnect };
  struct OutChunk {
    Clock::time_point due;
    Bytes bytes;
  };

  void ioLoop();
  void workerLoop();
  void handleUnitLocked(WireUnit unit);
  void handleCommandLocked(ReceivedUnit& entry);
  void handleDataBagLocked(ReceivedUnit& entry);
  // A configured answer for the bag, if one applies (generator_config.cpp).
  std::optional<BagAnswer> configuredBagAnswerLocked(std::uint8_t index, std::span<const std::uint8_t> data);
  // The control words of the configured answers; nothing when the verb is not one.
  std::optional<bool> configControl(const std::vector<std::string>& words, std::string& reply);
  void emitLocked(Bytes frame, Origin origin, std::string what);
  void writeDueLocked(Clock::time_point now);
  bool openLineLocked(std::string* error);
  void closeLineLocked();
  bool requestLine(LineRequest request, std::string* error);

  bool handshakeStepLocked(std::unique_lock<std::mutex>& lock, const std::string& message, HandshakeResult& result);
  void runExposureLocked(std::unique_lock<std::mutex>& lock, int exposureMs);
  void runFluoroLocked(std::unique_lock<std::mutex>& lock);
  bool idleForHandshakeLocked(std::string* why) const;

  void applyFeaturesLocked(std::uint8_t index, std::span<const std::uint8_t> request, BagAnswer& answer) const;
  bool dataSetControl(const std::vector<std::string>& words, std::string& reply);
  void observeLocked(const std::string& line);
  bool echoSeenLocked(const std::string& text, std::uint64_t since, Clock::time_point* when) const;

  SimulatorOptions options;
  std::mutex stopMutex;
  mutable std::mutex m;
  mutable std::condition_variable changed;  // log, state, handshake, line requests
  std::condition_variable workerWake;

  GeneratorModel model;
  DataBagStore bags;
  std::optional<std::uint8_t> featureBits;
  struct CompatAnswer {
    CompatMode mode = CompatMode::Echo;
    Bytes fixed;
  };
  std::map<int, CompatAnswer> compatAnswers;
  SerialEndpoint port;
  WakeEvent wake;
  LibraryStreamParser parser;
  Clock::time_point lastByteTime{};
  std::deque<OutChunk> outQueue;
  FaultSettings faultSettings;
  std::mt19937 random;

  std::deque<ReceivedUnit> log;
  std::deque<SentFrame> sentLog;
  std::uint64_t nextSeq = 1;
  struct LastSeen {
    std::uint64_t seq = 0;
    Clock::time_point time;
  };
  std::map<std::string, LastSeen, std::less<>> lastCommand;
  SimCounters stats;
  std::vector<ErrorReport> errors;

  HandshakeResult handshake;
  bool exposeRequested = false;
  int exposeMs = 0;
  bool fluoroRequested = false;
  bool fluoroOffRequested = false;
  bool workerBusy = false;

  LineRequest lineRequest = LineRequest::None;
  bool lineRequestDone = false;
  bool lineRequestOk = false;
  std::string lineRequestError;

  bool running = false;
  bool stopping = false;
  bool quit = false;
  std::function<void(const std::string&)> observer;
  std::thread ioThread;
  std::thread workerThread;
};

}  // namespace kestro::sim
