#include "tests/app/loopback_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace tavelo::test {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kLifetime = std::chrono::seconds(60);

int BoundSocket(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) throw std::runtime_error("bind");
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

void SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;  // the client went away
    done += static_cast<size_t>(n);
  }
}

std::string Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 302: return "Found";
    case 404: return "Not Found";
    default: return "Status";
  }
}

}  // namespace

LoopbackHttp::LoopbackHttp(Handler handler) : handler_(std::move(handler)) {
  listener_ = BoundSocket(port_);
  if (::listen(listener_, 8) != 0) throw std::runtime_error("listen");
  thread_ = std::thread([this] { Serve(); });
}

LoopbackHttp::~LoopbackHttp() {
  stop_ = true;
  thread_.join();
  ::close(listener_);
}

std::string LoopbackHttp::Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

void LoopbackHttp::Serve() {
  const auto end = Clock::now() + kLifetime;
  while (!stop_ && Clock::now() < end) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    Answer(client);
    ::close(client);
  }
}

void LoopbackHttp::Answer(int client) {
  // The request: up to its blank line, at most 8 KB, at most 2 s.
  std::string request;
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 8192 && Clock::now() < deadline &&
         !stop_) {
    pollfd p{client, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    char buf[1024];
    const ssize_t n = ::recv(client, buf, sizeof buf, 0);
    if (n <= 0) return;
    request.append(buf, static_cast<size_t>(n));
  }
  std::string path;
  const size_t sp = request.find(' ');
  if (sp != std::string::npos) path = request.substr(sp + 1, request.find(' ', sp + 1) - sp - 1);
  ++requests_;
  const HttpReply reply = handler_(path);
  const auto stallEnd = Clock::now() + std::chrono::milliseconds(reply.StallMs);
  while (!stop_ && Clock::now() < stallEnd) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::string text = "HTTP/1.1 " + std::to_string(reply.Status) + " " + Reason(reply.Status) + "\r\n";
  if (!reply.Location.empty()) text += "Location: " + reply.Location + "\r\n";
  text += "Content-Type: text/plain\r\nContent-Length: " + std::to_string(reply.Body.size()) +
          "\r\nConnection: close\r\n\r\n";
  if (reply.TrickleMs <= 0) {
    SendAll(client, text + reply.Body);
    return;
  }
  SendAll(client, text);
  for (size_t i = 0; i < reply.Body.size() && !stop_; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(reply.TrickleMs));
    if (::send(client, reply.Body.data() + i, 1, MSG_NOSIGNAL) != 1) return;  // the client gave up
  }
}

int RefusedPort() {
  int port = 0;
  const int fd = BoundSocket(port);
  ::close(fd);  // bound but never listening: nothing answers on it now
  return port;
}

}  // namespace tavelo::test
