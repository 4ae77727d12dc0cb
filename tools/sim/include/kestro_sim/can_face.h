// The simulator's CAN face: the generator on a CAN bus instead of a serial line.
//
// A socketcand server on 127.0.0.1 (one bus, raw mode) or a SocketCAN interface carries
// the frames; the generator itself is the serial simulator, run on a pseudo-terminal the
// face owns. Frames of identifier 0x550 are put together into the library's byte stream;
// everything the generator sends is cut into its units (messages, data-bag replies,
// ACK/NAK bytes) and each unit goes out in frames of identifier 8 with 8 data bytes,
// starting at a frame boundary. On top of the serial faults the face has CAN faults of
// its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "kestro_sim/simulator.h"

namespace kestro::sim {

struct SimCanFrame {
  std::uint32_t id = 0;
  std::uint8_t length = 0;
  std::uint8_t data[8] = {};
};

struct CanFaceOptions {
  // "socketcand:PORT" (PORT 0: any free port) or "socketcan:IFACE".
  std::string bus = "socketcand:0";
  std::string busName = "can0";  // the bus a socketcand client must open
};

struct CanFaceCounters {
  std::uint64_t framesIn = 0;        // frames of identifier 0x550 taken from the bus
  std::uint64_t foreignIn = 0;       // frames of other identifiers (ignored)
  std::uint64_t framesOut = 0;       // frames of identifier 8 sent
  std::uint64_t injectedFrames = 0;  // identifier-9 and foreign frames sent by faults
  std::uint64_t droppedFrames = 0;   // continuation frames left out by a fault
  std::uint64_t badElements = 0;     // socketcand text that was not understood
  std::uint64_t clients = 0;         // socketcand connections accepted
  std::uint64_t refusedClients = 0;  // connections closed at once while the line is down
};

// CAN faults, switched by name: "can-id9" (a frame of identifier 9 before every unit),
// "can-drop-continuation" (the next unit of two or more frames loses its second frame),
// "can-foreign-burst" (32 frames of other identifiers before the next unit).
struct CanFaults {
  bool id9 = false;
  bool dropContinuation = false;
  bool foreignBurst = false;
};

class CanFace {
 public:
  CanFace(SimulatorOptions simulatorOptions, CanFaceOptions options);
  ~CanFace();
  CanFace(const CanFace&) = delete;
  CanFace& operator=(const CanFace&) = delete;

  // Starts the simulator and the bus; stop() ends both (start() may follow again).
  bool start(std::string* error = nullptr);
  void stop();

  Simulator& simulator() { return *sim; }
  // The TCP port of the socketcand server (0 for SocketCAN).
  int port() const { return tcpPort; }
  // The KESTRO_CAN value a library on this host uses to reach the face.
  std::string libraryBusSpec() const;

  bool setCanFault(std::string_view name, bool on);
  CanFaults canFaults() const;
  CanFaceCounters counters() const;
  // Closes the socketcand connection (the client sees the server go away).
  void dropClient();

  // "can ..." lines are the face's own (see README); every other line goes to the
  // simulator.
  bool control(std::string_view line, std::string* reply = nullptr);

 private:
  struct Unit;
  void ioLoop();
  void handleClientText(std::string_view text);
  void handleElement(std::string_view element);
  void fromBus(const SimCanFrame& frame);
  void feedGenerator(const std::uint8_t* bytes, std::size_t size);
  void sendUnit(const std::vector<std::uint8_t>& unit);
  void sendFrame(const SimCanFrame& frame);
  void closeClient();

  SimulatorOptions simOptions;
  CanFaceOptions options;
  std::unique_ptr<Simulator> sim;

  std::string lineError;
  int master = -1;     // the face's end of the generator's pseudo-terminal
  int keepSlave = -1;  // keeps the slave open across the simulator's disconnects
  int listenFd = -1;
  int clientFd = -1;
  int canFd = -1;      // SocketCAN
  int wakeFd = -1;
  int tcpPort = 0;
  bool useSocketCan = false;
  std::string interfaceName;

  enum class ClientState { Greeted, Opened, Raw };
  ClientState clientState = ClientState::Greeted;
  std::string clientBuffer;

  // The generator's stream, cut into units.
  std::vector<std::uint8_t> pending;
  std::chrono::steady_clock::time_point pendingSince;

  mutable std::mutex m;  // faults and counters
  CanFaults faults;
  CanFaceCounters stats;
  std::atomic<bool> dropRequested{false};

  std::atomic<bool> stopping{false};
  std::thread ioThread;
};

}  // namespace kestro::sim
