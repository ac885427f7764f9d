// Message boxes. Before the window toolkit is up (and in the media library's own tests) boxes
// go to a sink; the interface kit installs the real dialogs. Tests install a sink that answers.
#pragma once
#include <string>

namespace tavelo::platform {

enum MessageIcon { miNone = 0, miError = 1, miWarning = 2, miInformation = 3, miQuestion = 4 };

// Shows a modal box and returns the answer (0 for OK / Yes).
using MessageSink = int (*)(void* owner, const std::string& text, const std::string& title, MessageIcon icon);
void SetMessageSink(MessageSink sink);
MessageSink GetMessageSink();
int ShowMessageBox(void* owner, const std::string& text, const std::string& title, MessageIcon icon);

}  // namespace tavelo::platform
