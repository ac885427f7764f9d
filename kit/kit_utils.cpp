#include "kit/kit_utils.h"

#include <sys/stat.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTextEdit>
#include <QThread>

#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "core/services/basic.h"
#include "core/services/path_utils.h"
#include "core/services/text_utils.h"
#include "kit/dialogs_ex.h"
#include "platform/msgbox/msgbox.h"

namespace tavelo {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

bool OnGuiThread() {
  const QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The program's boxes behind platform::ShowMessageBox. A box asked for off the main thread cannot
// be shown there: a message is shown later on the main thread, a question is answered No.
int KitMessageSink(void* owner, const std::string& text, const std::string& title, platform::MessageIcon icon) {
  const bool question = icon == platform::miQuestion;
  if (!OnGuiThread()) {
    std::fprintf(stderr, "[%s] %s\n", title.c_str(), text.c_str());
    if (question) return 1;
    if (QCoreApplication* app = QCoreApplication::instance())
      QMetaObject::invokeMethod(app, [=] { KitMessageSink(owner, text, title, icon); }, Qt::QueuedConnection);
    return 0;
  }
  try {
    TMessageDlg dlg;
    dlg.CustomCaption = title;
    switch (icon) {
      case platform::miQuestion:
        return dlg.Execute(text, mtConfirmation, MsgBtn(mbYes) | MsgBtn(mbNo), mbYes) == mbYes ? 0 : 1;
      case platform::miError: dlg.Execute(text, mtError, MsgBtn(mbOK), mbOK); break;
      case platform::miWarning: dlg.Execute(text, mtWarning, MsgBtn(mbOK), mbOK); break;
      case platform::miInformation: dlg.Execute(text, mtInformation, MsgBtn(mbOK), mbOK); break;
      default: dlg.Execute(text, mtCustom, MsgBtn(mbOK), mbOK); break;
    }
  } catch (...) {
    // The callers are core routines that expect an answer, not an exception.
    std::fprintf(stderr, "[%s] %s\n", title.c_str(), text.c_str());
    return question ? 1 : 0;
  }
  return 0;
}

// The screen cursor: one override cursor, or none for the default.
void SetScreenCursor(std::optional<Qt::CursorShape> shape) {
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return;
  if (!shape) {
    while (QGuiApplication::overrideCursor() != nullptr) QGuiApplication::restoreOverrideCursor();
  } else if (QGuiApplication::overrideCursor() != nullptr) {
    QGuiApplication::changeOverrideCursor(QCursor(*shape));
  } else {
    QGuiApplication::setOverrideCursor(QCursor(*shape));
  }
}

}  // namespace

void KitInit() { platform::SetMessageSink(&KitMessageSink); }

void KitDone() { platform::SetMessageSink(nullptr); }

// ---- Message boxes.

void ShowMsgDlg_(const std::string& text, TMsgDlgType msgType, TShowFlag* showFlag) {
  TMessageDlg dlg;
  // A remembered OK: with a show flag the box gets its check box, and once the user ticked it
  // the box answers OK without showing.
  uint8_t answer = mbOK;
  dlg.ShowFlagPtr = showFlag;
  dlg.AnswerPtr = &answer;
  dlg.Execute(text, msgType, MsgBtn(mbOK), mbOK);
}

void ShowInfo(const std::string& text, TShowFlag* showFlag) { ShowMsgDlg_(text, mtInformation, showFlag); }

void ShowWarning(const std::string& text, TShowFlag* showFlag) { ShowMsgDlg_(text, mtWarning, showFlag); }

void ShowError(const std::string& text) { ShowMsgDlg_(text, mtError, nullptr); }

uint8_t AskQuestion(const std::string& text, TMsgDlgBtn defaultButton, TShowFlag* showFlag, uint8_t* answer) {
  try {
    TMessageDlg dlg;
    dlg.ShowFlagPtr = showFlag;
    dlg.AnswerPtr = answer;
    const uint8_t result = dlg.Execute(text, mtConfirmation, MsgBtn(mbYes) | MsgBtn(mbNo), defaultButton);
    return result == mbCancel ? static_cast<uint8_t>(mbNo) : result;
  } catch (...) {
    return 3;
  }
}

// ---- The exception being handled.

void ShowException(const std::string& where) {
  std::string text;
  GetExceptionMsg(text);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  ShowError("[" + where + "]  " + text);
}

void HandleException(const std::string& where) {
  LogException(where);
  ShowException(where);
}

// ---- File dialogs.

void GetFilterExt(const std::string& filter, int32_t filterIndex, std::string& ext) {
  ext.clear();
  const int32_t index = IntClamp(filterIndex, 1, INT32_MAX);
  // In 64 bits: twice the largest index does not fit 32.
  const int64_t wanted = 2 * static_cast<int64_t>(index) - 1;
  int64_t passed = 0;
  size_t at = 0;
  while (passed < wanted && at < filter.size()) {
    if (filter[at] == '|') ++passed;
    ++at;
  }
  if (passed < wanted) return;
  const size_t end = filter.find('|', at);
  const std::string patterns = TrimBlanks(filter.substr(at, end == std::string::npos ? std::string::npos : end - at));
  const size_t dot = patterns.find('.');
  if (dot == std::string::npos) return;
  const size_t stop = patterns.find_first_of("|;,*", dot + 1);
  ext = patterns.substr(dot + 1, stop == std::string::npos ? std::string::npos : stop - dot - 1);
}

void ApplyFilterExt(const std::string& fileName, const std::string& filter, int32_t filterIndex, std::string& result,
                    bool forceFilterExt) {
  const size_t slash = fileName.rfind(kPathDelim);
  const size_t dot = fileName.rfind('.');
  const std::string ownExt =
      dot != std::string::npos && (slash == std::string::npos || dot > slash) ? fileName.substr(dot) : std::string();
  if (!forceFilterExt && !ownExt.empty() && ownExt.find_first_of("_-") == std::string::npos) {
    result = fileName;
    return;
  }
  std::string ext;
  GetFilterExt(filter, filterIndex, ext);
  result = ChangeExt(fileName, ext);
}

void GetInitialFolder(const std::string& folder, std::string& result) {
  // The home folder stands for the root of the user's drive: a folder that is not set, or whose
  // only existing ancestor is the file system's root, starts the dialog there.
  result = TrimBlanks(folder);
  if (!result.empty() && !IsDirectory(result)) {
    const std::string root = GetPathRoot(result);
    do {
      const std::string parent = GetParentDir(result);
      if (parent == result) break;  // nothing above it: stop rather than loop
      result = parent;
    } while (!IsDirectory(result) && result.size() > root.size());
    // The file system's root reached by the walk is no folder of the user's.
    if (!IsDirectory(result) || result.size() <= root.size() || result == std::string(1, kPathDelim)) result.clear();
  }
  if (result.empty()) result = HomeFolder();
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  std::string result = home != nullptr ? home : "";
  if (result.empty() || result[0] != kPathDelim || !IsDirectory(result)) return GetPathRoot(GetExeDir());
  if (result.back() != kPathDelim) result += kPathDelim;
  return result;
}

namespace {

// What the open and save dialogs share: the caller's filter, its index and the starting folder.
void PrepareDialog(TFileDialogEx& dialog, const std::string& title, const std::string* folder,
                   const std::string& filter, const int32_t* filterIndex, uint32_t options) {
  dialog.DefaultExt.clear();
  dialog.Filter = filter;
  if (filterIndex != nullptr) dialog.FilterIndex = *filterIndex;
  std::string initial;
  if (folder != nullptr) GetInitialFolder(*folder, initial);
  dialog.InitialDir = initial;
  dialog.HelpContext = 0;
  dialog.Options = options;
  dialog.Title = title;
}

// After a confirmed choice: the folder of the chosen file and the chosen filter.
void KeepChoice(const TFileDialogEx& dialog, const std::string& fileName, std::string* folder, int32_t* filterIndex) {
  if (folder != nullptr) *folder = ExtractFilePath(fileName);
  if (filterIndex != nullptr) *filterIndex = dialog.FilterIndex;
}

}  // namespace

void ExecOpenDialog(const std::string& title, std::string* folder, const std::string& filter, std::string& fileName,
                    int32_t* filterIndex) {
  fileName.clear();
  TOpenDialogEx dialog;
  PrepareDialog(dialog, title, folder, filter, filterIndex,
                ofHideReadOnly | ofNoChangeDir | ofPathMustExist | ofFileMustExist);
  dialog.FileName.clear();
  if (!dialog.Execute() || dialog.FileName.empty()) return;
  // The file the user picked, as picked: the extension rule is for names being saved.
  fileName = dialog.FileName;
  KeepChoice(dialog, fileName, folder, filterIndex);
}

void ExecSaveDialog(const std::string& title, std::string* folder, const std::string& initialFileName,
                    std::string& fileName, int32_t* filterIndex, const std::string& filter) {
  fileName.clear();
  TSaveDialogEx dialog;
  PrepareDialog(dialog, title, folder, filter, filterIndex, ofHideReadOnly | ofNoChangeDir | ofPathMustExist);
  dialog.FileName = initialFileName;
  // An empty name would come back as a bare extension: no name is no save.
  if (!dialog.Execute() || dialog.FileName.empty()) return;
  ApplyFilterExt(dialog.FileName, dialog.Filter, dialog.FilterIndex, fileName, false);
  KeepChoice(dialog, fileName, folder, filterIndex);
}

// ---- Cursor, hints and numbers.

void SetCursorWait() { SetScreenCursor(Qt::WaitCursor); }

void SetCursorDefault() { SetScreenCursor(std::nullopt); }

void SetCursorArrow() { SetScreenCursor(Qt::ArrowCursor); }

void GetCursorPosSafe(QPoint& point) {
  point = QPoint(0, 0);
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return;
  if (QGuiApplication::primaryScreen() == nullptr) return;
  point = QCursor::pos();
}

void SetControlHint(QWidget* control, const std::string& text) {
  if (control != nullptr) control->setToolTip(Q(text));
}

std::string GetControlText(const QWidget* control) {
  QString text;
  if (auto* edit = qobject_cast<const QLineEdit*>(control)) text = edit->text();
  else if (auto* combo = qobject_cast<const QComboBox*>(control)) text = combo->currentText();
  else if (auto* label = qobject_cast<const QLabel*>(control)) text = label->text();
  else if (auto* button = qobject_cast<const QAbstractButton*>(control)) text = button->text();
  else if (auto* plain = qobject_cast<const QPlainTextEdit*>(control)) text = plain->toPlainText();
  else if (auto* rich = qobject_cast<const QTextEdit*>(control)) text = rich->toPlainText();
  return text.toStdString();
}

void SetControlText(QWidget* control, const std::string& text) {
  const QString t = Q(text);
  if (auto* edit = qobject_cast<QLineEdit*>(control)) edit->setText(t);
  else if (auto* combo = qobject_cast<QComboBox*>(control)) combo->setEditText(t);
  else if (auto* label = qobject_cast<QLabel*>(control)) label->setText(t);
  else if (auto* button = qobject_cast<QAbstractButton*>(control)) button->setText(t);
  else if (auto* plain = qobject_cast<QPlainTextEdit*>(control)) plain->setPlainText(t);
  else if (auto* rich = qobject_cast<QTextEdit*>(control)) rich->setPlainText(t);
}

void SetControlInt(QWidget* control, int32_t n) { SetControlText(control, std::to_string(n)); }

int32_t GetControlInt(const QWidget* control, int32_t def) {
  const std::string digits = KeepIntChars(GetControlText(control));
  int32_t value = 0;
  const char* first = digits.data();
  const char* last = first + digits.size();
  const auto [end, error] = std::from_chars(first, last, value);
  return digits.empty() || error != std::errc() || end != last ? def : value;
}

void SetControlFloat(QLineEdit* edit, int32_t decimals, double value) {
  if (edit == nullptr) return;
  if (decimals == INT32_MAX) decimals = 10;
  edit->setText(Q(FloatToTextTrim(0, decimals, value)));
}

double GetControlFloat(const QWidget* control, double def) {
  return StrToFloatDefault(KeepFloatChars(GetControlText(control)), def);
}

}  // namespace tavelo
