// Special files for the tests of code that must refuse them: a FIFO, a listening socket, and a
// guard that keeps a test from hanging when the code under test blocks on a FIFO after all.
#pragma once
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <string>

namespace tavelo::test {

// Makes a FIFO at path; false on failure.
inline bool MakeFifo(const std::string& path) { return ::mkfifo(path.c_str(), 0600) == 0; }

// Binds a unix socket at path; the descriptor (close it when done) or -1.
inline int MakeSocketFile(const std::string& path) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) return -1;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 1) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Runs work, which may touch the FIFO at fifo, on a thread of its own. When it has not ended
// after a few seconds it is blocked on the FIFO: the FIFO is opened at both ends so that it can
// return, and the answer is false (the caller fails its test instead of hanging).
inline bool EndsWithoutBlocking(const std::string& fifo, const std::function<void()>& work) {
  auto done = std::async(std::launch::async, work);
  if (done.wait_for(std::chrono::seconds(5)) == std::future_status::ready) {
    done.get();
    return true;
  }
  while (done.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
    const int fd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
  }
  done.get();
  return false;
}

}  // namespace tavelo::test
