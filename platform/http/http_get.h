// The HTTP client the program needs: one blocking GET of a small text (the update check's file).
// Backed by libcurl. Only http and https are spoken, also after a redirect.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

namespace tavelo::platform {

struct HttpGetOptions {
  int32_t MaxRedirects = 5;        // more redirects than this fail the request
  int32_t ReadTimeoutMs = 10000;   // the request fails when no byte arrives for this long
                                   // (also the bound of the connection set-up)
  int64_t MaxBytes = 1 << 20;      // a reply body longer than this fails the request
  int32_t TotalTimeoutMs = 120000; // a reply that trickles in forever still ends
  const std::atomic<bool>* Cancel = nullptr;  // when set and true, the request ends (within a second)
};

// GETs url into body. True only for a complete reply with a status below 400; on failure body is
// empty and error tells why (a refused connection, a time-out, "HTTP 404", ...).
bool HttpGet(const std::string& url, const HttpGetOptions& options, std::string& body, std::string& error);

}  // namespace tavelo::platform
