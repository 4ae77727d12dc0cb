// The simulator's end of the serial line: the master side of a pseudo-terminal it
// creates itself, or a device it is given. Raw mode, non-blocking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestro::sim {

class SerialEndpoint {
 public:
  SerialEndpoint() = default;
  ~SerialEndpoint();
  SerialEndpoint(const SerialEndpoint&) = delete;
  SerialEndpoint& operator=(const SerialEndpoint&) = delete;

  // A new pseudo-terminal pair. The slave side is put in raw mode and kept open by the
  // simulator, so the library may open and close it at will without the master seeing a
  // hang-up in between.
  bool openPty(std::string* error);
  // An existing device (a serial port, a slave of someone else's pty), raw mode.
  bool openDevice(const std::string& path, std::string* error);
  void close();

  bool isOpen() const { return fd >= 0; }
  int handle() const { return fd; }
  // The path the library opens (pty mode) or the device path.
  const std::string& path() const { return peerPath; }
  bool isPty() const { return ownSlave >= 0 || pty; }

  // Non-blocking; -1 with errno on error, 0 when nothing (or, for read, hang-up handled by the caller).
  long readSome(std::uint8_t* buffer, std::size_t size);
  long writeSome(const std::uint8_t* data, std::size_t size);

 private:
  int fd = -1;
  int ownSlave = -1;
  bool pty = false;
  std::string peerPath;
};

// A wake-up for a poll() loop (eventfd).
class WakeEvent {
 public:
  WakeEvent();
  ~WakeEvent();
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;

  void signal();
  void drain();
  int handle() const { return fd; }

 private:
  int fd = -1;
};

}  // namespace kestro::sim
