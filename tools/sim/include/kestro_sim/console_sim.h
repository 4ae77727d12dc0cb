// kestro-sim's console personality: a service console on the far end of its own serial
// line (a pseudo-terminal it creates, or a device it is given).
//
// It answers command headers and download blocks with ACK, checks each block's checksum
// and answers NAK on a mismatch, sends 0x04 after the block with the end marker, and on
// an upload request sends its "AprStruct.bin" or "AprData.bin" after the start byte,
// ended by four dollar signs. Faults: silence, NAK once or always, one dropped ACK, a
// stall in the middle of an upload. Everything received is recorded for the tests.
//
// Its decoding is its own (not the library's), so a wrong byte on either side shows.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "kestro_sim/serial_endpoint.h"

namespace kestro::sim {

struct ConsoleOptions {
  std::string devicePath;  // empty: create a pseudo-terminal
  std::string linkPath;    // optional symbolic link kept pointing at the pty slave
  // A block that is neither full (513 bytes) nor ended by the marker is complete when the
  // line has been quiet this long after it.
  std::chrono::milliseconds blockGap{150};
  // Pause before the console answers an upload request.
  std::chrono::milliseconds uploadDelay{50};
};

enum class ConsoleFault { None, Silence, NakOnce, NakAlways, DropAck, UploadStall };

struct ConsoleBlock {
  std::vector<std::uint8_t> bytes;  // as received, checksum included
  bool checksumOk = false;
  bool accepted = false;  // answered with ACK (or its ACK was dropped on purpose)
  bool resend = false;    // the same block again after a dropped ACK
  bool final = false;     // carried the end marker, or ended the download short
};

struct ConsoleDownload {
  int headerCode = 0;
  std::vector<std::uint8_t> data;  // file content rebuilt: the marker as four asterisks
  bool complete = false;
};

class ConsoleSimulator {
 public:
  explicit ConsoleSimulator(ConsoleOptions options = {});
  ~ConsoleSimulator();
  ConsoleSimulator(const ConsoleSimulator&) = delete;
  ConsoleSimulator& operator=(const ConsoleSimulator&) = delete;

  bool start(std::string* error = nullptr);
  void stop();
  std::string portPath() const;

  void setFault(ConsoleFault fault);
  ConsoleFault fault() const;
  // The files sent on upload requests 16 ("AprStruct.bin") and 17 ("AprData.bin").
  void setUploadFiles(std::vector<std::uint8_t> structFile, std::vector<std::uint8_t> dataFile);
  // Reads both files from dir; false when one is missing.
  bool loadUploadFiles(const std::string& dir, std::string* error = nullptr);
  std::vector<std::uint8_t> uploadFile(int headerCode) const;

  // Sends bytes as they are (control bytes the console would send on its own).
  void sendRaw(const std::vector<std::uint8_t>& bytes);

  // --- observation ---
  std::vector<int> headers() const;  // header codes in the order received
  std::vector<std::vector<std::uint8_t>> parameterFrames() const;
  std::vector<ConsoleBlock> blocks() const;
  std::vector<ConsoleDownload> downloads() const;
  std::vector<std::vector<std::uint8_t>> uploadsSent() const;  // stream bytes after the start byte
  int acks() const;
  int naks() const;
  std::size_t garbageBytes() const;
  void clearLog();
  bool waitFor(const std::function<bool(const ConsoleSimulator&)>& condition, std::chrono::milliseconds timeout) const;
  // Writes every completed download to dir as download-<n>.bin.
  bool saveDownloads(const std::string& dir, std::string* error = nullptr) const;

  // One control line without the leading "console" word; reply gets "OK ..." / "ERR ...".
  bool control(std::string_view line, std::string* reply = nullptr);
  void setTrafficObserver(std::function<void(const std::string&)> observer);

 private:
  enum class State { Idle, Parameter, Blocks };

  void run();
  void onBytes(const std::uint8_t* data, std::size_t count);
  void parse(bool quiet);
  void onHeader(int code);
  void onBlock(std::vector<std::uint8_t> block, bool byMarker);
  void answer(std::vector<std::uint8_t> bytes);
  void queueUpload(int code);
  void note(const std::string& text);
  std::chrono::milliseconds pollTimeout() const;

  ConsoleOptions options;
  SerialEndpoint endpoint;
  WakeEvent wake;
  std::thread io;
  bool running = false;

  mutable std::mutex m;
  mutable std::condition_variable changed;
  bool stopping = false;
  ConsoleFault currentFault = ConsoleFault::None;
  bool nakOnceUsed = false;
  bool ackDropped = false;  // the last accepted block's ACK was dropped
  State state = State::Idle;
  int currentHeader = 0;
  std::vector<std::uint8_t> pending;
  std::chrono::steady_clock::time_point lastInput{};
  std::vector<std::uint8_t> outgoing;
  struct TimedSend {
    std::chrono::steady_clock::time_point at;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<TimedSend> scheduled;
  std::vector<std::uint8_t> structFile;
  std::vector<std::uint8_t> dataFile;

  std::vector<int> headerLog;
  std::vector<std::vector<std::uint8_t>> parameterLog;
  std::vector<ConsoleBlock> blockLog;
  std::vector<ConsoleDownload> downloadLog;
  std::vector<std::vector<std::uint8_t>> uploadLog;
  int ackCount = 0;
  int nakCount = 0;
  std::size_t garbage = 0;
  std::function<void(const std::string&)> observer;
};

}  // namespace kestro::sim
