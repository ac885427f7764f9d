// The interface-kit pieces the player's windows use: the release-reporting slider, the picture
// button, the message boxes, the file dialogs, the busy cursor and the modal run of a form. Every
// modal thing goes through the kit's answer seam first, so tests never block.
#pragma once
#include <QDialog>
#include <QSlider>

#include <cstdint>
#include <functional>
#include <string>

class QAbstractButton;
class QLineEdit;

namespace tavelo {

// A slider that reports when the user lets go of it (not positions set by program or keys).
QSlider* NewPlayerSlider(QWidget* parent, Qt::Orientation orientation, std::function<void()> onRelease);
// A flat 32 x 32 picture button (no picture yet) whose click runs onClick.
QAbstractButton* NewPlayerButton(QWidget* parent, std::function<void()> onClick);
void SetPlayerButtonIcon(QAbstractButton* button, const QImage& icon);

void ShowError(const std::string& text);
// fileName := the chosen file, '' when none; the folder (when given) becomes the chosen file's.
void ExecOpenDialog(const std::string& title, std::string* folder, const std::string& filter, std::string& fileName,
                    int* filterIndex);
void ExecSaveDialog(const std::string& title, std::string* folder, const std::string& initialFileName,
                    std::string& fileName, int* filterIndex, const std::string& filter);
void SetCursorWait();
void SetCursorArrow();
// A dialog button with that caption: its click ends the form with modalResult (1 OK, the default
// button; 2 Cancel, the Escape button).
QAbstractButton* NewDialogButton(QDialog* form, const std::string& caption, int modalResult);
// Numbers in the text of edit controls.
void SetControlInt(QLineEdit* edit, int32_t n);
int32_t GetControlInt(QLineEdit* edit, int32_t def);
void SetControlFloat(QLineEdit* edit, int32_t decimals, double value);
double GetControlFloat(QLineEdit* edit, double def);
// Shows form modally (or hands it to the answer seam): its modal result.
int RunModalForm(QDialog& form, const std::string& className);

}  // namespace tavelo
