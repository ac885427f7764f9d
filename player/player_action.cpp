#include "player/player_action.h"

#include <QCoreApplication>
#include <QImage>

#include "core/media/img_basic.h"
#include "core/services/exception_log.h"
#include "formats/ff_basic.h"
#include "formats/ff_img_from_bin.h"
#include "gui/pictor_bitmap.h"
#include "player/file_info.h"
#include "player/med_player.h"
#include "kit/kit_utils.h"
#include "kit/pic_button.h"

namespace tavelo {

namespace {

#include "player/res/button_pictures.inc"

struct CommandRow {
  const char* Hint;
  QKeyCombination Key;
  void (QMedPlayer::*Handler)();
};

// By enable-mask bit. Play and Pause share Space: the masks never enable both.
const CommandRow kCommands[kPlayerActionCount] = {
    {"Play", QKeyCombination(Qt::Key_Space), &QMedPlayer::PlayClick},
    {"Pause", QKeyCombination(Qt::Key_Space), &QMedPlayer::PauseClick},
    {"Stop", QKeyCombination(Qt::Key_Backspace), &QMedPlayer::StopClick},
    {"Open File", QKeyCombination(Qt::Key_O), &QMedPlayer::OpenFileClick},
    {"Frame forward", QKeyCombination(Qt::Key_Right), &QMedPlayer::PicFwdClick},
    {"Frame back", QKeyCombination(Qt::Key_Left), &QMedPlayer::PicBackClick},
    {"5 seconds forward", QKeyCombination(Qt::ControlModifier, Qt::Key_Right), &QMedPlayer::FiveSecsFwdClick},
    {"5 seconds back", QKeyCombination(Qt::ControlModifier, Qt::Key_Left), &QMedPlayer::FiveSecsBackClick},
    {"5% forward", QKeyCombination(Qt::ControlModifier, Qt::Key_PageDown), &QMedPlayer::FivePercFwdClick},
    {"5% back", QKeyCombination(Qt::ControlModifier, Qt::Key_PageUp), &QMedPlayer::FivePercBackClick},
    {"Go to start", QKeyCombination(Qt::Key_Home), &QMedPlayer::GoToStartClick},
    {"Go to end", QKeyCombination(Qt::Key_End), &QMedPlayer::GoToEndClick},
    {"File information", QKeyCombination(Qt::Key_F5), &QMedPlayer::FileInfoClick},
    {"Program options", QKeyCombination(Qt::Key_T), &QMedPlayer::OptionsClick},
};

}  // namespace

const uint8_t* PlayerButtonPicture(int32_t index) {
  return index >= 0 && index < kPlayerActionCount ? kButtonPictures[index] : nullptr;
}

QPlayerAction::QPlayerAction(QMedPlayer* owner, int32_t index, int32_t top, int32_t& left)
    : QPlayerAction(owner, kCommands[index].Hint, QKeySequence(kCommands[index].Key), PlayerButtonPicture(index),
                    [owner, handler = kCommands[index].Handler](QPlayerAction*) { (owner->*handler)(); }, top, left) {}

QPlayerAction::QPlayerAction(QMedPlayer* owner, const std::string& hint, const QKeySequence& shortCut,
                             const void* picture, Handler handler, int32_t top, int32_t& left)
    : QObject(owner), ShortCut(shortCut), Hint(hint), OnExecute(std::move(handler)) {
  if (picture == nullptr) return;
  // Owned by the action, placed on the player; its click runs the handler directly.
  Button = new QPicButton(owner);
  connect(this, &QObject::destroyed, Button, [b = Button] { delete b; });
  Button->OnClick = [this](QPicButton*) { Click(); };
  SetControlHint(Button, hint);
  Button->SetIcsStyle(stFlat);
  Qimg img;
  bool made = false;
  try {
    made = ImgFromBin(picture, img);
    if (made) {
      QImage icon;
      PicToBitmap(img, &icon);
      Button->SetIcon(icon);
    }
  } catch (...) {
    made = false;
    LogException("QPlayerAction.Create");
  }
  ImgFree(img);
  if (!made) owner->ConstructionComplete = 0;
  Button->setGeometry(left, top, 32, 32);
  left += 32;
}

void QPlayerAction::Click() {
  if (OnExecute) OnExecute(this);
}

void QPlayerAction::SetEnabled(bool value) {
  enabled_ = value;
  if (Button != nullptr) Button->setEnabled(value);
}

// ---------------------------------------------------------------------------------------------
// The handlers

void QMedPlayer::PlayClick() {
  Guarded([this] { StartPlay(); });
}

void QMedPlayer::PauseClick() {
  Guarded([this] { StopPlay(); });
}

void QMedPlayer::StopClick() {
  Guarded([this] {
    StopPlay();
    SeekTime(0);
  });
}

std::string QMedPlayer::MakeOpenFilter() {
  std::string filter = "All Files (*.*)|*.*";
  std::string all, formats;
  for (uint32_t kinds : {fkMovie, fkStill, fkSound}) {
    FFMakeLoadFilter(kinds, ffoDescription | ffoShowExts, all, formats);
    filter += "|" + all;
  }
  // Every readable format once, sorted by name.
  FFMakeLoadFilter(0, ffoDescription | ffoShowExts, all, formats);
  return filter + "|" + formats;
}

void QMedPlayer::OpenFileClick() {
  Guarded([this] {
    StopPlay();
    ButtonsIdle();
    SetInfoText(0, "Opening a file...");
    SetInfoText(1, "");
    QCoreApplication::processEvents();
    std::string fileName;
    ExecOpenDialog("Open File", &DefaultFolder, MakeOpenFilter(), fileName, nullptr);
    if (!fileName.empty()) {
      SetCursorWait();
      const bool open = OpenFile(fileName);
      SetCursorArrow();
      if (!open) ShowError(ErrorText);
    } else {
      UpdateInfo();
    }
    if (IsFileOpen()) UpdateButtons();
    Engine->TakeLastError();
  });
}

void QMedPlayer::PicFwdClick() {
  Guarded([this] {
    if (HasVideo != 0)
      SeekFrame(CurrentFrame() + 1);
    else
      SeekBy(FrameStep);
  });
}

void QMedPlayer::PicBackClick() {
  Guarded([this] {
    if (HasVideo != 0)
      SeekFrame(CurrentFrame() - 1);
    else
      SeekBy(-FrameStep);
  });
}

void QMedPlayer::FiveSecsFwdClick() {
  Guarded([this] { SeekBy(5.0); });
}

void QMedPlayer::FiveSecsBackClick() {
  Guarded([this] { SeekBy(-5.0); });
}

void QMedPlayer::FivePercFwdClick() {
  Guarded([this] { SeekBy(PercentStep); });
}

void QMedPlayer::FivePercBackClick() {
  Guarded([this] { SeekBy(-PercentStep); });
}

void QMedPlayer::GoToStartClick() {
  Guarded([this] {
    SeekBy(0);
    SeekTime(0);
  });
}

void QMedPlayer::GoToEndClick() {
  Guarded([this] { SeekTime(2147483647.0); });
}

void QMedPlayer::FileInfoClick() {
  Guarded([this] {
    if (!IsFileOpen()) return;
    InfoListRec info;
    InfoListAddInfo(info, *Engine->GetDescription());
    ShowFileInfoWindow(info);
  });
}

}  // namespace tavelo
