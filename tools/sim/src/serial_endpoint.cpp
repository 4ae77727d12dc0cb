#include "kestro_sim/serial_endpoint.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace kestro::sim {

namespace {

bool makeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B19200);
  cfsetospeed(&tio, B19200);
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

void setError(std::string* error, const char* what) {
  if (error != nullptr) *error = std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

SerialEndpoint::~SerialEndpoint() { close(); }

bool SerialEndpoint::openPty(std::string* error) {
  close();
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) {
    setError(error, "posix_openpt");
    return false;
  }
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    setError(error, "pty set-up");
    ::close(master);
    return false;
  }
  int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    setError(error, "open pty slave");
    ::close(master);
    return false;
  }
  makeRaw(slave);
  int flags = fcntl(master, F_GETFL);
  fcntl(master, F_SETFL, flags | O_NONBLOCK);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fd = master;
  ownSlave = slave;
  pty = true;
  peerPath = name;
  return true;
}

bool SerialEndpoint::openDevice(const std::string& devicePath, std::string* error) {
  close();
  int dev = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (dev < 0) {
    setError(error, "open device");
    return false;
  }
  if (isatty(dev)) makeRaw(dev);
  fd = dev;
  pty = false;
  peerPath = devicePath;
  return true;
}

void SerialEndpoint::close() {
  if (fd >= 0) ::close(fd);
  if (ownSlave >= 0) ::close(ownSlave);
  fd = -1;
  ownSlave = -1;
}

long SerialEndpoint::readSome(std::uint8_t* buffer, std::size_t size) {
  if (fd < 0) return -1;
  ssize_t n = ::read(fd, buffer, size);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  return static_cast<long>(n);
}

long SerialEndpoint::writeSome(const std::uint8_t* data, std::size_t size) {
  if (fd < 0) return -1;
  ssize_t n = ::write(fd, data, size);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  return static_cast<long>(n);
}

WakeEvent::WakeEvent() { fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

WakeEvent::~WakeEvent() {
  if (fd >= 0) ::close(fd);
}

void WakeEvent::signal() {
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

void WakeEvent::drain() {
  std::uint64_t value = 0;
  [[maybe_unused]] ssize_t n = ::read(fd, &value, sizeof value);
}

}  // namespace kestro::sim
