// A tiny HTTP server on 127.0.0.1 for the update check's tests: one thread, one request per
// connection, answers chosen by the test. It stops when destroyed, and by itself after a minute,
// so no test can leave it running.
#pragma once
#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace tavelo::test {

struct HttpReply {
  HttpReply(int status = 200, std::string body = "", std::string location = "", int stallMs = 0, int trickleMs = 0)
      : Status(status), Body(std::move(body)), Location(std::move(location)), StallMs(stallMs), TrickleMs(trickleMs) {}
  int Status = 200;
  std::string Body;
  std::string Location;  // a redirect's target
  int StallMs = 0;       // silence before anything is sent (the whole reply follows)
  int TrickleMs = 0;     // when above 0, the body follows the head one byte at a time, this far apart
};

class LoopbackHttp {
 public:
  // Called on the server's thread with the request's path.
  using Handler = std::function<HttpReply(const std::string& path)>;
  explicit LoopbackHttp(Handler handler);
  ~LoopbackHttp();
  LoopbackHttp(const LoopbackHttp&) = delete;
  LoopbackHttp& operator=(const LoopbackHttp&) = delete;

  // "http://127.0.0.1:<port>"
  std::string Url() const;
  int Requests() const { return requests_.load(); }

 private:
  void Serve();
  void Answer(int client);

  Handler handler_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

// A loopback port on which nothing listens (a connection is refused).
int RefusedPort();

}  // namespace tavelo::test
