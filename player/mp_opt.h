// The player's options (unit MedPlayerOpt): the modal dialog TfrmMpOpt that the "Program options"
// command opens, and the values it carries. The player's saving and loading of its eight settings
// (QMedPlayer::SaveOptions and LoadOptions) live with it.
#pragma once
#include <QDialog>

#include <cstdint>

class QCheckBox;
class QLineEdit;
class QRadioButton;

namespace tavelo {

class QPicButton;

class TfrmMpOpt : public QDialog {
 public:
  explicit TfrmMpOpt(QWidget* owner);

  // The values the dialog carries: set before it runs, read back after OK.
  int32_t Repeat = 1;
  int32_t KeepSync = -1;  // bool32
  double FrameRate = 25.0;
  int32_t SetAsDefault = 0;   // bool32
  int32_t ShowFrameRate = 0;  // bool32
  int32_t ResizeBig = 0;      // bool32
  int32_t ResizeSmall = 0;    // bool32

  QLineEdit* edPlayRepeat = nullptr;
  QCheckBox* chkKeepSync = nullptr;
  QLineEdit* edFps = nullptr;
  QCheckBox* chkDefaultFps = nullptr;
  QRadioButton* radBigKeep = nullptr;
  QRadioButton* radBigResize = nullptr;
  QRadioButton* radSmallKeep = nullptr;
  QRadioButton* radSmallResize = nullptr;
  QRadioButton* radShowPosition = nullptr;
  QRadioButton* radShowFrameRate = nullptr;
  QPicButton* btnOK = nullptr;
  QPicButton* btnCancel = nullptr;

  void Fill();
  void ReadBack();
};

// Caption "Options", fill, run modally: true only for OK (modal result 1), and then the values are
// read back from the controls.
bool MpOptExecute(TfrmMpOpt& form);

}  // namespace tavelo
