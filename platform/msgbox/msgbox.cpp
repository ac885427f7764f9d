#include "platform/msgbox/msgbox.h"

#include <atomic>
#include <cstdio>

namespace tavelo::platform {

namespace {

// Until the interface kit installs its dialogs, a box is written to standard error and answered
// with its default (OK / Yes).
int StderrSink(void*, const std::string& text, const std::string& title, MessageIcon) {
  std::fprintf(stderr, "[%s] %s\n", title.c_str(), text.c_str());
  return 0;
}

std::atomic<MessageSink> g_sink{&StderrSink};

}  // namespace

void SetMessageSink(MessageSink sink) { g_sink.store(sink != nullptr ? sink : &StderrSink); }

MessageSink GetMessageSink() { return g_sink.load(); }

int ShowMessageBox(void* owner, const std::string& text, const std::string& title, MessageIcon icon) {
  return g_sink.load()(owner, text, title, icon);
}

}  // namespace tavelo::platform
