#include "player/mp_opt.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/services/basic.h"
#include "core/services/reg_utils.h"
#include "player/med_player.h"
#include "kit/kit_utils.h"
#include "kit/pic_button.h"
#include "player/player_kit.h"

namespace tavelo {

namespace {

QGroupBox* Group(QWidget* parent, const char* title, int x, int y, int w, int h) {
  auto* box = new QGroupBox(title, parent);
  box->setGeometry(x, y, w, h);
  return box;
}

template <class T>
T* Named(T* widget, const char* name) {
  widget->setObjectName(name);
  return widget;
}

// The designed geometry assumes the designer's font. Every caption must show whole in the font the
// dialog really gets, so a row of controls is widened to its captions' needs, each control
// keeping at least its designed place and size; the group boxes, the second column and the form
// then grow to what their contents take. Edits keep their width: only captions are measured.
int FitRow(const std::vector<QWidget*>& row) {
  constexpr int kGap = 2;
  int right = 0;
  for (QWidget* w : row) {
    QRect r = w->geometry();
    if (qobject_cast<QLineEdit*>(w) == nullptr) r.setWidth(std::max(r.width(), w->sizeHint().width()));
    r.moveLeft(std::max(r.left(), right + kGap));
    w->setGeometry(r);
    right = r.left() + r.width();
  }
  return right;
}

// Widens a group box to its rows (plus the designed inner margin).
void FitGroup(QGroupBox* box, const std::vector<std::vector<QWidget*>>& rows) {
  constexpr int kInnerMargin = 10;
  int right = 0;
  for (const auto& row : rows) right = std::max(right, FitRow(row));
  box->resize(std::max(box->width(), right + kInnerMargin), box->height());
}

// Places the boxes of a column at x with one common width (the widest of them).
int PlaceColumn(const std::vector<QGroupBox*>& column, int x) {
  int width = 0;
  for (QGroupBox* box : column) width = std::max(width, box->width());
  for (QGroupBox* box : column) box->setGeometry(x, box->y(), width, box->height());
  return x + width;
}

std::string WithBackslash(const std::string& key) {
  return !key.empty() && key.back() == '\\' ? key : key + "\\";
}

}  // namespace

TfrmMpOpt::TfrmMpOpt(QWidget* owner) : QDialog(owner) {
  setObjectName("frmMpOpt");
  setFixedSize(414, 275);
  QGroupBox* playback = Group(this, "Playback", 8, 8, 196, 90);
  auto* repeatLabel = new QLabel("Repeat", playback);
  repeatLabel->setGeometry(10, 26, 50, 22);
  edPlayRepeat = Named(new QLineEdit(playback), "edPlayRepeat");
  edPlayRepeat->setGeometry(62, 26, 64, 22);
  auto* timesLabel = new QLabel("time(s)", playback);
  timesLabel->setGeometry(132, 26, 56, 22);
  chkKeepSync = Named(new QCheckBox("Skip frames to keep sync", playback), "chkKeepSync");
  chkKeepSync->setGeometry(10, 56, 180, 22);

  QGroupBox* rate = Group(this, "Frame Rate", 8, 106, 196, 90);
  auto* fpsLabel = new QLabel("&Frame rate (FPS)", rate);
  fpsLabel->setGeometry(10, 26, 110, 22);
  edFps = Named(new QLineEdit(rate), "edFps");
  edFps->setGeometry(122, 26, 64, 22);
  fpsLabel->setBuddy(edFps);
  chkDefaultFps = Named(new QCheckBox("Set as default for images", rate), "chkDefaultFps");
  chkDefaultFps->setGeometry(10, 56, 180, 22);

  // Three groups of two choices each.
  std::vector<QGroupBox*> rightColumn;
  const auto pair = [this, &rightColumn](const char* title, int y, QRadioButton*& a, const char* aName,
                                         const char* aText, QRadioButton*& b, const char* bName, const char* bText) {
    QGroupBox* group = Group(this, title, 212, y, 194, 70);
    a = Named(new QRadioButton(aText, group), aName);
    a->setGeometry(10, 22, 180, 20);
    b = Named(new QRadioButton(bText, group), bName);
    b->setGeometry(10, 44, 180, 20);
    FitGroup(group, {{a}, {b}});
    rightColumn.push_back(group);
  };
  pair("Big Images", 8, radBigKeep, "radBigKeep", "Keep original size", radBigResize, "radBigResize", "Shrink");
  pair("Small Images", 84, radSmallKeep, "radSmallKeep", "Keep original size", radSmallResize, "radSmallResize",
       "Stretch");
  pair("Info Panel", 160, radShowPosition, "radShowPosition", "Show frame/sample position", radShowFrameRate,
       "radShowFrameRate", "Show frame rate");

  btnOK = Named(new QPicButton(this), "btnOK");
  btnOK->SetCaption("OK");
  btnOK->SetDefault(true);
  btnOK->setGeometry(8, 238, 96, 30);
  btnCancel = Named(new QPicButton(this), "btnCancel");
  btnCancel->SetCaption("Cancel");
  btnCancel->SetCancel(true);
  btnCancel->setGeometry(108, 238, 96, 30);

  FitGroup(playback, {{repeatLabel, edPlayRepeat, timesLabel}, {chkKeepSync}});
  FitGroup(rate, {{fpsLabel, edFps}, {chkDefaultFps}});
  const int leftRight = PlaceColumn({playback, rate}, 8);
  const int rightRight = PlaceColumn(rightColumn, std::max(212, leftRight + 8));
  setFixedSize(std::max(414, rightRight + 8), 275);
}

void TfrmMpOpt::Fill() {
  SetControlInt(edPlayRepeat, Repeat);
  chkKeepSync->setChecked(KeepSync != 0);
  SetControlFloat(edFps, 10, FrameRate);
  chkDefaultFps->setChecked(SetAsDefault != 0);
  radShowFrameRate->setChecked(ShowFrameRate != 0);
  radShowPosition->setChecked(ShowFrameRate == 0);
  radBigResize->setChecked(ResizeBig != 0);
  radBigKeep->setChecked(ResizeBig == 0);
  radSmallResize->setChecked(ResizeSmall != 0);
  radSmallKeep->setChecked(ResizeSmall == 0);
}

void TfrmMpOpt::ReadBack() {
  Repeat = IntClamp(GetControlInt(edPlayRepeat, 0), 0, 1000000);
  KeepSync = chkKeepSync->isChecked() ? -1 : 0;
  FrameRate = FltClamp(GetControlFloat(edFps, FrameRate), 0.0001, 10000.0);
  SetAsDefault = chkDefaultFps->isChecked() ? -1 : 0;
  ShowFrameRate = radShowFrameRate->isChecked() ? -1 : 0;
  ResizeBig = radBigResize->isChecked() ? -1 : 0;
  ResizeSmall = radSmallResize->isChecked() ? -1 : 0;
}

bool MpOptExecute(TfrmMpOpt& form) {
  form.setWindowTitle("Options");
  form.Fill();
  if (RunModalForm(form, "TfrmMpOpt") != 1) return false;
  form.ReadBack();
  return true;
}

// ---------------------------------------------------------------------------------------------
// The player's side

void QMedPlayer::OptionsClick() {
  Guarded([this] {
    TfrmMpOpt form(nullptr);
    form.Repeat = LoopCount;
    form.KeepSync = GetKeepSync() ? -1 : 0;
    form.FrameRate = FltSame(GetFrameRate(), 0) ? GetDefaultFrameRate() : GetFrameRate();
    form.SetAsDefault = 0;
    form.ShowFrameRate = ShowFrameRate;
    form.ResizeBig = GetResizeBig() ? -1 : 0;
    form.ResizeSmall = GetResizeSmall() ? -1 : 0;
    if (!MpOptExecute(form)) return;
    LoopCount = form.Repeat;
    SetKeepSync(form.KeepSync != 0);
    SetFrameRate(form.FrameRate);
    if (form.SetAsDefault != 0) SetDefaultFrameRate(form.FrameRate);
    ShowFrameRate = form.ShowFrameRate;
    SetResizeBig(form.ResizeBig != 0);
    SetResizeSmall(form.ResizeSmall != 0);
    UpdateInfo();
  });
}

void QMedPlayer::SaveOptions(uint32_t rootKey, const std::string& key) {
  TRegistry* reg = RegCreate(rootKey);
  if (reg == nullptr) return;
  if (RegOpen(reg, WithBackslash(key), true)) {
    RegWriteStr(reg, "DefaultFolder", DefaultFolder);
    RegWriteInt(reg, "LoopCount", LoopCount);
    RegWriteFloat(reg, "DefaultFrameRate", GetDefaultFrameRate());
    RegWriteBool(reg, "ShowFrameRate", ShowFrameRate != 0);
    RegWriteBool(reg, "KeepSync", GetKeepSync());
    RegWriteInt(reg, "AudioVolume", VolumePercent);
    RegWriteBool(reg, "ResizeBig", GetResizeBig());
    RegWriteBool(reg, "ResizeSmall", GetResizeSmall());
  }
  RegFree(reg);
}

void QMedPlayer::LoadOptions(uint32_t rootKey, const std::string& key) {
  TRegistry* reg = RegCreate(rootKey);
  if (reg == nullptr) return;
  // Read without creating. A missing key reads as missing values: those whose default is the
  // current value keep it, the others take their defaults (a fresh profile is not silent).
  if (RegOpen(reg, WithBackslash(key), false)) {
    DefaultFolder = RegReadStr(reg, "DefaultFolder", kDefaultOpenFolder);
    LoopCount = RegReadInt(reg, "LoopCount", LoopCount);
    // A stored rate that is not a number (NaN or infinite) would reach the engine's arithmetic:
    // it reads as the rate in use before.
    double rate = RegReadFloat(reg, "DefaultFrameRate", GetDefaultFrameRate());
    if (!std::isfinite(rate)) rate = GetDefaultFrameRate();
    SetDefaultFrameRate(rate);
    if (Engine != nullptr) Engine->SetFrameRate(rate);
    ShowFrameRate = RegReadBool(reg, "ShowFrameRate", ShowFrameRate != 0) ? -1 : 0;
    SetKeepSync(RegReadBool(reg, "KeepSync", GetKeepSync()));
    SetVolume(RegReadInt(reg, "AudioVolume", kDefaultVolume));
    SetResizeBig(RegReadBool(reg, "ResizeBig", false));
    SetResizeSmall(RegReadBool(reg, "ResizeSmall", false));
  } else {
    DefaultFolder = kDefaultOpenFolder;
    SetVolume(kDefaultVolume);
    SetResizeBig(false);
    SetResizeSmall(false);
  }
  RegFree(reg);
}

}  // namespace tavelo
