#include "app/w_tavelo_input_fps.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>

#include "app/common.h"
#include "core/services/basic.h"
#include "core/services/trace.h"
#include "kit/kit_answers.h"
#include "kit/kit_utils.h"
#include "kit/pic_button.h"

namespace tavelo {

const std::vector<FrameRatePreset>& FrameRatePresets() {
  static const std::vector<FrameRatePreset> presets = {
      {" 1.00  fps", 1.0},
      {"10.00  fps", 10.0},
      {"15.00  fps  (AVI standard)", 15.0},
      {"23.98  fps  (NTSC film)", 24000.0 / 1001.0},
      {"24.00  fps  (film)", 24.0},
      {"25.00  fps  (PAL)", 25.0},
      {"29.97  fps  (NTSC)", 30000.0 / 1001.0},
      {"30.00  fps  (NTSC)", 30.0},
      {"50.00  fps  (PAL)", 50.0},
      {"59.94  fps  (NTSC)", 60000.0 / 1001.0},
      {"60.00  fps  (NTSC)", 60.0},
  };
  return presets;
}

TfrmFPS::TfrmFPS(QWidget* owner) : QDialog(owner) {
  setObjectName("frmFPS");
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(334, 189);
  grpFrameRate = new QGroupBox("Frame Rate", this);
  grpFrameRate->setGeometry(8, 6, 318, 132);
  lblFrameRate = new QLabel("Frame Rate (fps)", grpFrameRate);
  lblFrameRate->setGeometry(14, 28, 110, 21);
  edFrameRate = new QLineEdit(grpFrameRate);
  edFrameRate->setObjectName("edFrameRate");
  edFrameRate->setGeometry(128, 26, 100, 23);
  auto* pick = new QPicButton(grpFrameRate);
  pick->setObjectName("btnPickFrameRate");
  pick->SetCaption("Pick...");
  pick->setGeometry(236, 24, 70, 27);
  pick->OnClick = [this](QPicButton*) { btnPickFrameRateClick(); };
  btnPickFrameRate = pick;
  lblFrameRate->setBuddy(edFrameRate);
  chkSetAsDefault = new QCheckBox("Set as default frame rate for images", grpFrameRate);
  chkSetAsDefault->setObjectName("chkSetAsDefault");
  chkSetAsDefault->setGeometry(14, 66, 290, 21);
  chkShowThisDialog = new QCheckBox("Show this dialog automatically", grpFrameRate);
  chkShowThisDialog->setObjectName("chkShowThisDialog");
  chkShowThisDialog->setGeometry(14, 94, 290, 21);
  auto* ok = new QPicButton(this);
  ok->setObjectName("btnOK");
  ok->SetCaption("OK");
  ok->setGeometry(150, 150, 84, 30);
  ok->SetDefault(true);
  btnOK = ok;
  auto* cancel = new QPicButton(this);
  cancel->setObjectName("btnCancel");
  cancel->SetCaption("Cancel");
  cancel->setGeometry(242, 150, 84, 30);
  cancel->SetCancel(true);
  btnCancel = cancel;
}

void TfrmFPS::done(int result) {
  // The edit's text is final once the focus has left it.
  btnOK->setFocus();
  QDialog::done(result);
}

void TfrmFPS::btnPickFrameRateClick() { SelectFrameRate(edFrameRate); }

void SetFrameRateText(QLineEdit* edit, double rate) {
  SetControlFloat(edit, 10, rate);
  edit->setSelection(0, 10);
}

void SelectFrameRate(QLineEdit* edit) {
  TraceScope trace("wTaveloInputFPS.SelectFrameRate");
  const auto& presets = FrameRatePresets();
  std::vector<std::string> captions;
  for (const FrameRatePreset& p : presets) captions.emplace_back(p.Caption);
  const int32_t row = VListMenu(captions);
  if (row >= 0 && row < static_cast<int32_t>(presets.size())) SetFrameRateText(edit, presets[row].Rate);
}

bool DlgEditFrameRate(double& rate, bool& setAsDefault, bool& showDialog) {
  TraceScope trace("wTaveloInputFPS.DlgEditFrameRate");
  TfrmFPS form;
  form.setWindowTitle("Input Frame Rate");
  const double fallback = rate;
  SetFrameRateText(form.edFrameRate, rate);
  form.chkSetAsDefault->setChecked(setAsDefault);
  form.chkShowThisDialog->setChecked(showDialog);

  KitAsk ask;
  ask.Kind = KitAskKind::Form;
  ask.Caption = "TfrmFPS";
  ask.Form = &form;
  KitAnswer answer;
  const int result = KitAskProvider(ask, answer) ? answer.Result : form.exec();
  if (result != QDialog::Accepted) return false;

  rate = FltClamp(GetControlFloat(form.edFrameRate, fallback), 0.01, 100.0);
  setAsDefault = form.chkSetAsDefault->isChecked();
  showDialog = form.chkShowThisDialog->isChecked();
  return true;
}

}  // namespace tavelo
