// The answer seam. Everything modal that the program shows (message dialog, open and save
// dialogs, pop-up menus, the program's own forms) is first offered to one process-wide answer
// provider. The program installs none, so the real dialog runs; tests install one that records
// what was asked and answers it, so no test ever waits in a modal loop.
#pragma once
#include <functional>
#include <string>
#include <vector>

class QWidget;

namespace tavelo {

enum class KitAskKind {
  Message,     // TMessageDlg: Caption, Text, Buttons, Icon, Flags
  OpenDialog,  // TOpenDialogEx: Caption, FileName, Filter, FilterIndex, InitialDir, Flags
  SaveDialog,  // TSaveDialogEx: the same
  Popup,       // a pop-up menu: Items are the captions of the commands, in order
  Form,        // one of the program's own modal forms: Form points at it, Caption is its class
};

struct KitAsk {
  KitAskKind Kind = KitAskKind::Message;
  std::string Caption;
  std::string Text;
  std::vector<std::string> Buttons;  // button captions (Message) or item captions (Popup)
  int Icon = 0;
  unsigned Flags = 0;
  std::string FileName;
  std::string Filter;
  int FilterIndex = 0;
  std::string InitialDir;
  QWidget* Form = nullptr;            // Message: the form being shown (a provider may drive it)
  int DefaultButton = -1;             // Message: the default button's value, -1 when none
};

struct KitAnswer {
  int Result = 0;            // modal result, button answer or chosen command
  std::string FileName;      // open and save dialogs
  int FilterIndex = 0;       // 1-based, open and save dialogs
  bool Checked = false;      // the message dialog's "Don't show again" box
};

// Returns true when the provider answered; false leaves the question to the real dialog.
using KitAnswerProvider = std::function<bool(const KitAsk& ask, KitAnswer& answer)>;

// Installs (or, with an empty function, removes) the provider; returns the one before it.
KitAnswerProvider SetKitAnswerProvider(KitAnswerProvider provider);

// Offers a question to the provider. True when it answered.
bool KitAskProvider(const KitAsk& ask, KitAnswer& answer);

}  // namespace tavelo
