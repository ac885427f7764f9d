// The free routines through which every window talks to the user: information, warning, error
// and yes/no boxes (all TMessageDlg), the exception being handled (shown and logged), the open
// and save dialogs with the program's rules for the starting folder and the extension, the busy
// cursor, hints, and numbers kept in the text of controls. None of them traces or raises errors
// of its own.
#pragma once
#include <QPoint>

#include <cstdint>
#include <string>

#include "core/services/exception_log.h"  // GetExceptionMsg, LogException
#include "kit/msg_dlg.h"

class QWidget;
class QLineEdit;

namespace tavelo {

// ---- The kit's start and end.

// Puts the program's message sink (platform::ShowMessageBox) through the kit's boxes. Call once
// the QApplication exists. Programs that never call it (tavelo-probe, the media library's tests)
// keep the sink that writes to standard error.
void KitInit();
// Returns the message sink to standard error.
void KitDone();

// ---- Message boxes.

// The text with an OK button; with a show flag, also the "don't show again" check box.
void ShowMsgDlg_(const std::string& text, TMsgDlgType msgType, TShowFlag* showFlag);
void ShowInfo(const std::string& text, TShowFlag* showFlag = nullptr);
void ShowWarning(const std::string& text, TShowFlag* showFlag = nullptr);
void ShowError(const std::string& text);
// Yes/No: 0 for Yes, 1 for No (also when the box is closed without a button), 3 when the box
// could not be built or shown.
uint8_t AskQuestion(const std::string& text, TMsgDlgBtn defaultButton, TShowFlag* showFlag = nullptr,
                    uint8_t* answer = nullptr);

// ---- The exception being handled (call only inside a catch block).

// ShowError("[" + where + "]  " + the exception's text).
void ShowException(const std::string& where);
// LogException(where), then ShowException(where).
void HandleException(const std::string& where);

// ---- File dialogs.

// The extension (without its point) of the first pattern of pair number filterIndex (clamped to
// 1 or more); '' when there is no such pair or its pattern names none.
void GetFilterExt(const std::string& filter, int32_t filterIndex, std::string& ext);
// The file name unchanged when it has an extension of its own without '_' or '-' (and the filter
// is not forced); otherwise with the filter's extension in place of its own.
void ApplyFilterExt(const std::string& fileName, const std::string& filter, int32_t filterIndex, std::string& result,
                    bool forceFilterExt);
// The trimmed folder, or its nearest existing parent below the root, or the home folder.
void GetInitialFolder(const std::string& folder, std::string& result);
// $HOME with a trailing separator when it names a folder, else the root of the program's folder.
std::string HomeFolder();
// Open dialog: fileName is '' unless the user confirmed a file (returned as picked). With a folder
// pointer the dialog starts there and it receives the picked file's folder; with a filter-index
// pointer the dialog starts at that pair and it receives the chosen one.
void ExecOpenDialog(const std::string& title, std::string* folder, const std::string& filter, std::string& fileName,
                    int32_t* filterIndex);
// Save dialog: fileName is the confirmed name with the extension rule applied, '' on cancel.
void ExecSaveDialog(const std::string& title, std::string* folder, const std::string& initialFileName,
                    std::string& fileName, int32_t* filterIndex, const std::string& filter);

// ---- Cursor, hints and numbers in control texts.

void SetCursorWait();
void SetCursorDefault();
void SetCursorArrow();
// The mouse position in screen coordinates; (0, 0) without a screen.
void GetCursorPosSafe(QPoint& point);

// The tool tip; an empty text shows none.
void SetControlHint(QWidget* control, const std::string& text);
// The text of a line edit, combo box (its edit text), label, button, or plain or rich text edit.
std::string GetControlText(const QWidget* control);
void SetControlText(QWidget* control, const std::string& text);
void SetControlInt(QWidget* control, int32_t n);
// The control's text reduced to '-' and digits, as a decimal number; def when that fails.
int32_t GetControlInt(const QWidget* control, int32_t def);
// decimals 2147483647 means 10; trailing zeros are dropped.
void SetControlFloat(QLineEdit* edit, int32_t decimals, double value);
// The control's text reduced to '-', '.' and digits, as a number; def when that fails.
double GetControlFloat(const QWidget* control, double def);

}  // namespace tavelo
