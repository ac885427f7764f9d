// tiffcodec: libtiff as it is, plus the two calls that hand libtiff's messages to the caller as
// one formatted text each (see tiffcodec.h).
#include "codecs/tiffcodec/tiffcodec.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#define TIFFCODEC_EXPORT extern "C" __attribute__((visibility("default")))

namespace tavelo::tiffcodec {
namespace {

std::atomic<tiffcodec_message_fn> g_error{nullptr};
std::atomic<tiffcodec_message_fn> g_warning{nullptr};
std::once_flag g_installed;

void Deliver(tiffcodec_message_fn handler, const char* module, const char* fmt, va_list ap) {
  if (handler == nullptr) return;
  char text[TIFFCODEC_MESSAGE_MAX];
  int used = 0;
  if (module != nullptr && *module != 0) {
    used = std::snprintf(text, sizeof text, "%s: ", module);
    if (used < 0) used = 0;
    if (used >= static_cast<int>(sizeof text)) used = static_cast<int>(sizeof text) - 1;
  }
  if (fmt != nullptr) {
    // vsnprintf cuts the text to the buffer and always terminates it.
    std::vsnprintf(text + used, sizeof text - static_cast<size_t>(used), fmt, ap);
  } else {
    text[used] = 0;
  }
  handler(text);
}

void ErrorRelay(const char* module, const char* fmt, va_list ap) { Deliver(g_error.load(), module, fmt, ap); }
void WarningRelay(const char* module, const char* fmt, va_list ap) { Deliver(g_warning.load(), module, fmt, ap); }

// libtiff's own handlers print to stderr; once a caller takes the messages, ours replace them
// for good (a null handler then silences that kind).
void InstallRelays() {
  std::call_once(g_installed, [] {
    TIFFSetErrorHandler(&ErrorRelay);
    TIFFSetWarningHandler(&WarningRelay);
  });
}

}  // namespace
}  // namespace tavelo::tiffcodec

TIFFCODEC_EXPORT void ExternErrorSet(tiffcodec_message_fn handler) {
  tavelo::tiffcodec::g_error.store(handler);
  tavelo::tiffcodec::InstallRelays();
}

TIFFCODEC_EXPORT void ExternWarningSet(tiffcodec_message_fn handler) {
  tavelo::tiffcodec::g_warning.store(handler);
  tavelo::tiffcodec::InstallRelays();
}
