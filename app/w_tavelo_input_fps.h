// The frame-rate dialog (unit wTaveloInputFPS): the rate at which the open file's pictures play,
// whether it also becomes the default rate for picture files, and whether the dialog opens by
// itself after a file without a usable rate is opened. Eleven preset rates are offered through a
// pop-up list.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <QDialog>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QWidget;

namespace tavelo {

struct FrameRatePreset {
  const char* Caption;
  double Rate;
};
// The eleven presets in their order (captions with two blanks before "fps" and before a
// parenthesis; the NTSC rates are n/1001).
const std::vector<FrameRatePreset>& FrameRatePresets();

// The form. Its widgets are public so that the answer seam (tests) can fill it.
class TfrmFPS : public QDialog {
 public:
  explicit TfrmFPS(QWidget* owner = nullptr);

  QGroupBox* grpFrameRate;
  QLabel* lblFrameRate;
  QLineEdit* edFrameRate;
  QWidget* btnPickFrameRate;
  QCheckBox* chkSetAsDefault;
  QCheckBox* chkShowThisDialog;
  QWidget* btnOK;
  QWidget* btnCancel;

  // The handler of "Pick...": the preset list; a chosen rate goes into the edit.
  void btnPickFrameRateClick();

 protected:
  void done(int result) override;
};

// Writes a rate into the edit: up to 10 decimals, no trailing zeros; the first 10 characters
// selected.
void SetFrameRateText(QLineEdit* edit, double rate);

// Shows the dialog with rate and the two flags. True when it was closed with OK; rate (from the
// edit, the given rate when it holds no number, limited to 0.01..100.0) and the flags are then
// updated. Cancel changes nothing.
bool DlgEditFrameRate(double& rate, bool& setAsDefault, bool& showDialog);

// The preset list as a pop-up menu at the mouse; the chosen row's rate is written into edit.
void SelectFrameRate(QLineEdit* edit);

}  // namespace tavelo
