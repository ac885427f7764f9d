#include "platform/http/http_get.h"

#include <curl/curl.h>

#include <chrono>
#include <mutex>

namespace tavelo::platform {

namespace {

using Clock = std::chrono::steady_clock;

struct Transfer {
  std::string* body = nullptr;
  int64_t maxBytes = 0;
  bool tooLong = false;
  int32_t readTimeoutMs = 0;
  Clock::time_point lastData;
  bool stalled = false;
  const std::atomic<bool>* cancel = nullptr;
};

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * count;
  if (static_cast<int64_t>(t->body->size() + n) > t->maxBytes) {
    t->tooLong = true;
    return 0;  // libcurl fails the transfer with a write error
  }
  t->body->append(data, n);
  t->lastData = Clock::now();
  return n;
}

// libcurl's own low-speed limit counts whole seconds; the read time-out is kept here to the
// millisecond: libcurl calls this at least once a second while it waits, and more often while
// data flows.
int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  if (t->cancel != nullptr && t->cancel->load()) return 1;
  const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t->lastData).count();
  if (idle >= t->readTimeoutMs) {
    t->stalled = true;
    return 1;  // aborts the transfer
  }
  return 0;
}

// Headers count as data arriving: a server that answers but sends its body slowly is not idle.
size_t HeaderSeen(char*, size_t size, size_t count, void* user) {
  static_cast<Transfer*>(user)->lastData = Clock::now();
  return size * count;
}

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

bool HttpGet(const std::string& url, const HttpGetOptions& options, std::string& body, std::string& error) {
  body.clear();
  error.clear();
  GlobalInit();
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    error = "the HTTP client could not be made";
    return false;
  }
  Transfer t;
  t.body = &body;
  t.maxBytes = options.MaxBytes;
  t.readTimeoutMs = options.ReadTimeoutMs > 0 ? options.ReadTimeoutMs : 1;
  t.lastData = Clock::now();
  t.cancel = options.Cancel;
  char message[CURL_ERROR_SIZE] = {0};

  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, static_cast<long>(options.MaxRedirects));
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(t.readTimeoutMs));
  if (options.TotalTimeoutMs > 0) curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(options.TotalTimeoutMs));
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "Tavelo/3.1.0");
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, HeaderSeen);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, Progress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);

  const CURLcode rc = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);

  if (rc == CURLE_OK && status < 400) return true;
  body.clear();
  if (t.cancel != nullptr && t.cancel->load())
    error = "cancelled";
  else if (t.stalled)
    error = "no data for " + std::to_string(t.readTimeoutMs) + " ms";
  else if (t.tooLong)
    error = "the reply is longer than " + std::to_string(options.MaxBytes) + " bytes";
  else if (rc == CURLE_HTTP_RETURNED_ERROR || (rc == CURLE_OK && status >= 400))
    error = "HTTP " + std::to_string(status);
  else
    error = message[0] != 0 ? std::string(message) : std::string(curl_easy_strerror(rc));
  return false;
}

}  // namespace tavelo::platform
