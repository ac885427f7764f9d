#include "player/med_player.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFont>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPalette>
#include <QScreen>
#include <QScrollArea>
#include <QThread>

#include <cmath>
#include <limits>

#include "base/posix_files.h"
#include "core/media/pictor.h"
#include "core/services/basic.h"
#include "core/services/exception_log.h"
#include "core/services/text_utils.h"
#include "core/services/trace.h"
#include "player/player_action.h"
#include "kit/kit_utils.h"
#include "kit/pic_button.h"
#include "kit/tracker.h"

namespace tavelo {

namespace {

constexpr int32_t kButtonSize = 32;
constexpr int32_t kVolumeWidth = 26;

std::array<int32_t, 101> g_volumeTable{};

// A double into the 32-bit range: what the slider can hold (NaN gives 0).
int32_t ClampToInt32(double v) {
  if (!(v == v)) return 0;
  if (v >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
  if (v <= static_cast<double>(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

int32_t RoundToInt32(double v) { return ClampToInt32(static_cast<double>(FpuRound(v))); }

// A toolkit colour (red in byte 0) as a Qt colour; a negative value names a system colour, which
// the toolkit's palette already holds.
bool ToQColor(int32_t colour, QColor& out) {
  if (colour < 0) return false;
  const auto c = static_cast<uint32_t>(colour);
  out = QColor(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF), static_cast<int>((c >> 16) & 0xFF));
  return true;
}

uint32_t ToColourWord(const QColor& c) {
  return static_cast<uint32_t>(c.red()) | (static_cast<uint32_t>(c.green()) << 8) |
         (static_cast<uint32_t>(c.blue()) << 16);
}

}  // namespace

QEvent::Type PlayerMessageType(int32_t message) { return static_cast<QEvent::Type>(QEvent::User + message); }

void FillVolumeTable_() {
  g_volumeTable[0] = 0;
  g_volumeTable[100] = 1000;
  for (int32_t p = 1; p <= 99; ++p)
    g_volumeTable[static_cast<size_t>(p)] = static_cast<int32_t>(FpuRound(1000.0L * std::pow(p / 100.0L, 0.15L)));
}

int32_t VolumeTableEntry(int32_t percent) { return g_volumeTable[static_cast<size_t>(IntClamp(percent, 0, 100))]; }

// ---------------------------------------------------------------------------------------------
// Construction

QMedPlayer::QMedPlayer(QWidget* owner, PlayerClock* clock, const MediaAccess* media) : QWidget(owner) {
  ConstructionComplete = -1;
  setVisible(false);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect work = screen->availableGeometry();
    MaxWidth = work.width();
    MaxHeight = work.height();
  }
  SafeSyncInit();
  SafeFlagInit(SliderGuard);
  SafeFlagInit(PlayGuard);
  SafeFlagInit(VolumeGuard);
  try {
    Construct(clock, media);
  } catch (...) {
    // The control stays in use as far as it was built; the main window reports the rest.
    ConstructionComplete = 0;
    LogException("QMedPlayer.Create");
  }
  loading_ = false;
}

void QMedPlayer::Construct(PlayerClock* clock, const MediaAccess* media) {
  DefaultFolder = kDefaultOpenFolder;
  LoopCount = 1;
  ShowFrameRate = 0;
  VolumePercent = 75;

  ScrollBox = new QScrollArea(this);
  ScrollBox->setWidgetResizable(false);
  ScrollBox->setAlignment(Qt::AlignCenter);
  ScrollBox->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  ScrollBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  ScrollBox->viewport()->installEventFilter(this);
  PicturePanel = new QWidget;
  PicturePanel->installEventFilter(this);
  ScrollBox->setWidget(PicturePanel);
  Engine = std::make_unique<QMedEngine>(parentWidget() != nullptr ? parentWidget()->window() : this, clock, media);
  Engine->CreateDisplay(PicturePanel, 0, 0, PicturePanel->width(), PicturePanel->height());
  Engine->OnOpenProgress = {&QMedPlayer::EngineOpenProgress, this};
  Engine->OnPosition = {&QMedPlayer::EnginePosition, this};
  Engine->OnDisplayMouse = {&QMedPlayer::EngineDisplayMouse, this};
  SetColor(0);

  PositionSlider = new QTracker(this);
  PositionSlider->setTickPosition(QSlider::NoTicks);
  PositionSlider->OnRelease = [this](QTracker*) { PositionSliderChange(); };
  PositionSlider->setFixedHeight(IntMax(1, RoundToInt32(PositionSlider->sizeHint().height() * 0.6)));
  for (QLineEdit* box : {InfoBox0 = new QLineEdit(this), InfoBox1 = new QLineEdit(this)}) {
    box->setReadOnly(true);
    box->setFocusPolicy(Qt::NoFocus);
    QPalette pal = box->palette();
    pal.setColor(QPalette::Base, Qt::black);
    pal.setColor(QPalette::Text, QColor(220, 230, 255));
    box->setPalette(pal);
    QFont font = box->font();
    font.setBold(true);
    box->setFont(font);
  }

  // The buttons stand left to right in this order; the two 5 % steps have keys only.
  int32_t left = 3;
  const auto add = [&](PlayerActionIndex index) {
    Actions[static_cast<size_t>(index)] = new QPlayerAction(this, index, 0, left);
  };
  for (PlayerActionIndex index : {paPlay, paPause, paStop, paOpenFile, paGoToStart, paFiveSecsBack, paPicBack, paPicFwd,
                                  paFiveSecsFwd, paGoToEnd, paFileInfo, paOptions, paFivePercFwd, paFivePercBack})
    add(index);

  FillVolumeTable_();
  VolumeSlider = new QTracker(this);
  VolumeSlider->setOrientation(Qt::Vertical);
  VolumeSlider->setTickPosition(QSlider::NoTicks);
  VolumeSlider->OnRelease = [this](QTracker*) { VolumeSliderChange(); };
  // Top is loud: the minimum stands at the top, as on the system's vertical track bar.
  VolumeSlider->setInvertedAppearance(true);
  VolumeSlider->setRange(0, 100);
  VolumeSlider->setValue(100);
  VolumeSlider->setFixedSize(kVolumeWidth, PositionSlider->height() + kButtonSize + 3);
  VolumeSliderChange();

  MinWidth = left + kVolumeWidth + 15;
  MinHeight = PositionSlider->height() + kButtonSize + InfoBox0->sizeHint().height() + 12;

  ButtonsIdle();
  HasVideo = FrameCount = PictureWidth = PictureHeight = HasAudio = SampleCount = 0;
  VideoDuration = AudioDuration = Duration = LastTime = PercentStep = 0;
  FrameStep = 1.0;
  SliderScale = 0;
  RepeatsLeft = 0;
  FitToPicture = 0;
  extraW_ = 4;
  extraH_ = MinHeight + 4;
  ArrangeLayout(MinWidth, MinHeight + 200);
  setVisible(true);
}

QMedPlayer::~QMedPlayer() {
  // The engine goes first: its threads are joined before the controls they report to vanish, and
  // their last reports still find it.
  try {
    DestroyThenClear(Engine);
  } catch (...) {
    LogException("QMedPlayer.Destroy");
  }
  SafeSyncDone();
}

// ---------------------------------------------------------------------------------------------
// Messages

bool QMedPlayer::event(QEvent* e) {
  const int type = e->type();
  if (type == PlayerMessageType(WM_PLAYER_POSITION)) {
    WMPosition();
    return true;
  }
  if (type == PlayerMessageType(WM_PLAYER_ENDED)) {
    WMPlayEnded();
    return true;
  }
  if (type == PlayerMessageType(WM_PLAYER_SIZE)) {
    if (OnSizeWanted) OnSizeWanted();
    return true;
  }
  if (type == PlayerMessageType(WM_PLAYER_MOUSE)) {
    if (OnDisplayClick) OnDisplayClick(clickKind_, clickX_, clickY_, clickColour_);
    return true;
  }
  return QWidget::event(e);
}

bool QMedPlayer::eventFilter(QObject* watched, QEvent* e) {
  // A press on the picture area outside the display window.
  if (e->type() == QEvent::MouseButtonPress && ScrollBox != nullptr &&
      (watched == ScrollBox->viewport() || watched == PicturePanel)) {
    const auto* me = static_cast<QMouseEvent*>(e);
    uint8_t kind = 0;
    if (me->button() == Qt::RightButton) kind = 1;
    if (me->button() == Qt::MiddleButton) kind = 2;
    const QPoint at = me->position().toPoint();
    if (OnDisplayClick) OnDisplayClick(kind, at.x(), at.y(), ToColourWord(palette().color(QPalette::Button)));
  }
  return QWidget::eventFilter(watched, e);
}

void QMedPlayer::EnginePosition(void* data) {
  auto* self = static_cast<QMedPlayer*>(data);
  // Any thread: only posts. 951 follows whenever the engine is not playing at this moment.
  const bool ended = !self->Engine->IsPlaying();
  const auto post = [self, ended] {
    QCoreApplication::postEvent(self, new QEvent(PlayerMessageType(WM_PLAYER_POSITION)));
    if (ended) QCoreApplication::postEvent(self, new QEvent(PlayerMessageType(WM_PLAYER_ENDED)));
  };
  if (QThread::currentThread() == self->thread()) {
    post();
  } else {
    // A worker thread hands the posting to the main thread through the toolkit's queued call, so
    // the messages are made where they are handled (the race checker sees the queued call's
    // hand-over, not the event queue's own lock).
    QMetaObject::invokeMethod(self, post, Qt::QueuedConnection);
  }
}

void QMedPlayer::EngineDisplayMouse(void* data, uint8_t kind, int32_t x, int32_t y, uint32_t colour) {
  auto* self = static_cast<QMedPlayer*>(data);
  self->clickKind_ = kind;
  self->clickX_ = x;
  self->clickY_ = y;
  self->clickColour_ = colour;
  QCoreApplication::postEvent(self, new QEvent(PlayerMessageType(WM_PLAYER_MOUSE)));
}

void QMedPlayer::EngineOpenProgress(void* data, FFProgressRec* progress) {
  static_cast<QMedPlayer*>(data)->WhenOpeningFile(progress);
}

void QMedPlayer::WMPosition() {
  const ReentryGuard entry(SliderGuard);
  if (!entry) return;
  try {
    const int32_t max = PositionSlider->maximum();
    // A single frame has no time span to place the thumb in.
    const double at = LastTime > 0 ? max * GetTime() / LastTime : 0;
    PositionSlider->setValue(RoundToInt32(FltClamp(at, 0, max)));
    UpdateInfo();
  } catch (...) {
    LogException("QMedPlayer.WMPosition");
  }
}

void QMedPlayer::WMPlayEnded() {
  // A stop message of an earlier run that arrives after the next run has begun (Play, Stop, Play
  // with no event processed between them) is stale: the run it reports is already over.
  if (Engine != nullptr && Engine->IsPlaying()) return;
  PlayNextRepeat();
}

// ---------------------------------------------------------------------------------------------
// Sliders

void QMedPlayer::PositionSliderChange() {
  const ReentryGuard entry(SliderGuard);
  if (!entry) return;
  try {
    const int32_t max = PositionSlider->maximum();
    SeekTime(max > 0 ? static_cast<double>(PositionSlider->value()) * LastTime / max : 0);
    UpdateInfo();
  } catch (...) {
    LogException("QMedPlayer.PositionSliderChange");
  }
}

void QMedPlayer::VolumeSliderChange() {
  const ReentryGuard entry(VolumeGuard);
  if (!entry) return;
  ApplyVolume(MapRange(VolumeSlider->value(), VolumeSlider->minimum(), VolumeSlider->maximum(), 100, 0));
}

void QMedPlayer::SetVolume(int32_t percent) {
  const ReentryGuard entry(VolumeGuard);
  if (!entry) return;
  VolumePercent = IntClamp(percent, 0, 100);
  ApplyVolume(VolumePercent);
  if (VolumeSlider != nullptr) VolumeSlider->setValue(VolumeSlider->maximum() - VolumePercent);
}

void QMedPlayer::ApplyVolume(int32_t percent) {
  VolumePercent = IntClamp(percent, 0, 100);
  if (Engine != nullptr) Engine->SetVolume(VolumeTableEntry(VolumePercent));
}

void QMedPlayer::ReadMediaFacts() {
  if (Engine == nullptr) return;
  if (!IsFileOpen()) {
    HasVideo = 0;
    HasAudio = 0;
    return;
  }
  const UniInfoRec& d = *Engine->GetDescription();
  const double rate = Engine->FrameRate.load();
  HasVideo = (d.Video.HasVideo != 0 && d.Video.VideoSupported != 0) ? -1 : 0;
  FrameCount = d.Video.Frames;
  VideoDuration = rate > 0 ? FrameCount / rate : d.Video.Duration;
  PictureWidth = d.Video.Width;
  PictureHeight = d.Video.Height;
  HasAudio = (d.Audio.HasAudio != 0 && d.Audio.AudioSupported != 0) ? -1 : 0;
  SampleCount = d.Audio.Samples;
  AudioDuration = d.Audio.Duration;
  if (HasVideo != 0 && rate > 0) {
    Duration = VideoDuration;
    LastTime = (FrameCount - 1) / rate;
    FrameStep = 1 / rate;
  } else {
    Duration = LastTime = AudioDuration;
    FrameStep = 1.0;
  }
  if (!(LastTime > 0)) LastTime = 0;
  PercentStep = Duration / 20;
  // Units per second in double: 2e9 / Duration leaves 32 bits below 0.931 s and has no value at
  // 0; the slider holds at most the 32-bit range.
  SliderScale = Duration > 0 ? ClampToInt32(std::trunc(2e9 / Duration)) : 0;
  PositionSlider->setMinimum(0);
  PositionSlider->setMaximum(Duration > 0 ? RoundToInt32(static_cast<double>(SliderScale) * Duration) : 0);
  PositionSlider->setSingleStep(IntMax(1, RoundToInt32(static_cast<double>(SliderScale) * FrameStep)));
  PositionSlider->setPageStep(IntMax(1, RoundToInt32(static_cast<double>(SliderScale) * PercentStep)));
  PositionSlider->setValue(IntClamp(PositionSlider->value(), 0, PositionSlider->maximum()));
}

// ---------------------------------------------------------------------------------------------
// Info boxes and buttons

void QMedPlayer::UpdateInfo() {
  if (Engine == nullptr) return;
  if (!IsFileOpen()) {
    SetInfoText(0, "");
    SetInfoText(1, "");
    return;
  }
  SetInfoText(0, DurationText(7, static_cast<double>(FpuRound(GetTime()))) + " - " +
                     DurationText(7, static_cast<double>(FpuRound(LastTime))));
  std::string box1;
  if (ShowFrameRate != 0)
    box1 = FloatToStrW(Engine->GetMeasuredFps(), 0, 2) + " fps";
  else if (HasVideo != 0)
    box1 = IntToStrW(static_cast<uint32_t>(CurrentFrame() + 1), 100) + " / " +
           IntToStrW(static_cast<uint32_t>(FrameCount), 100);
  else
    box1 = IntToStrW(static_cast<uint32_t>(IntMin(Engine->GetPlayedSample() + 1, SampleCount)), 100) + " / " +
           IntToStrW(static_cast<uint32_t>(SampleCount), 100);
  SetInfoText(1, box1);
}

void QMedPlayer::SetInfoText(int32_t box, const std::string& text) {
  QLineEdit* edit = box == 0 ? InfoBox0 : InfoBox1;
  if (edit != nullptr) edit->setText(QString::fromStdString(text));
}

std::string QMedPlayer::InfoText(int32_t box) const {
  const QLineEdit* edit = box == 0 ? InfoBox0 : InfoBox1;
  return edit != nullptr ? edit->text().toStdString() : std::string();
}

void QMedPlayer::SetButtonsEnabled(uint32_t mask) {
  const bool changed = enabledMask_ != (mask & 0xFFFF);
  enabledMask_ = mask & 0xFFFF;
  for (int32_t n = 0; n < kPlayerActionCount; ++n)
    if (QPlayerAction* action = Actions[static_cast<size_t>(n)]) action->SetEnabled((mask >> n) & 1);
  if (PositionSlider != nullptr) {
    const bool on = (mask & pmPositionSlider) != 0;
    PositionSlider->setEnabled(on);
    if (!on) PositionSlider->setValue(0);
  }
  if (VolumeSlider != nullptr) VolumeSlider->setEnabled((mask & pmVolumeSlider) != 0);
  if (changed && OnButtonsChanged) OnButtonsChanged();
}

void QMedPlayer::ButtonsOff() { SetButtonsEnabled(0); }

void QMedPlayer::ButtonsIdle() { SetButtonsEnabled(0x2008); }

namespace {
uint32_t VolumeBit(const QMedEngine* engine) {
  return (engine != nullptr && AudioPresent.load() != 0 && engine->FileIsOpen != 0 && engine->HasAudio != 0)
             ? static_cast<uint32_t>(pmVolumeSlider)
             : 0u;
}
}  // namespace

void QMedPlayer::UpdateButtons() {
  uint32_t mask = 0x2008;
  if (IsFileOpen()) {
    mask |= 0x1000 | VolumeBit(Engine.get());
    if (FrameCount > 1 || SampleCount > 1) mask |= 0x4FF1;
  }
  SetButtonsEnabled(mask);
}

void QMedPlayer::ButtonsPlaying() { SetButtonsEnabled(0x4FFE | VolumeBit(Engine.get())); }

// ---------------------------------------------------------------------------------------------
// Files and playing

bool QMedPlayer::IsFileOpen() const { return Engine != nullptr && Engine->FileIsOpen != 0; }

bool QMedPlayer::IsPlaying() const { return Engine != nullptr && Engine->IsPlaying(); }

bool QMedPlayer::OpenFile(const std::string& fileName) {
  if (fileName.empty() || Engine == nullptr) return false;
  if (opening_) {
    // Progress texts let events in while a file opens: a drop or a recent-list click must not
    // start a second open inside the first. The request is refused and shown; the running open
    // goes on.
    SetInfoText(1, "Busy opening a file: \"" + posix::NameOf(fileName) + "\" was not opened.");
    return false;
  }
  TraceScope trace("QMedPlayer.OpenFile");
  {
    const ReentryGuard entry(opening_);  // let in: refused above while an open runs
    SetInfoText(0, "Opening file...");
    ButtonsOff();
    Engine->FileOpen(fileName);
    ErrorText = IsFileOpen() ? std::string() : Engine->GetLastErrorText();
    ReadMediaFacts();
    UpdateInfo();
    if (IsFileOpen()) {
      if (HasVideo != 0)
        ResizeTo(PictureWidth, PictureHeight);
      else
        ResizeTo(0, 0);
      UpdateButtons();
    } else {
      ButtonsIdle();
    }
  }
  if (OnFileOpened) OnFileOpened();
  UpdateInfo();
  return IsFileOpen();
}

void QMedPlayer::WhenOpeningFile(FFProgressRec* progress) {
  if (progress == nullptr) return;
  int32_t answer = -1;
  if (OnOpening) {
    try {
      OnOpening(answer);
    } catch (...) {
      answer = 0;
      LogException("QMedPlayer.WhenOpeningFile");
    }
  }
  progress->Cancel = answer == 0 ? -1 : 0;
  if (progress->Finished != 0 || progress->Cancel != 0) return;
  const std::string name = posix::NameOf(progress->Text != nullptr ? progress->Text : "");
  const auto n = static_cast<uint32_t>(progress->Done);
  std::string text;
  if (progress->Total >= 1)
    text = FloatToStrW(progress->Fraction, 0, 1) + "% of \"" + name + "\" open...";
  else if (progress->Stage == 1)
    text = "Opening frame " + IntToStrW(n + 1, 100) + " of \"" + name + "\"";
  else if (progress->Stage == 2)
    text = "Opening sample " + IntToStrW(n + 1, 100) + " of \"" + name + "\"";
  else if (progress->Stage == 3)
    text = "Scanning position " + IntToStrW(n, 100) + " in \"" + name + "\"";
  SetInfoText(0, text);
  QCoreApplication::processEvents();
}

void QMedPlayer::CloseFile() {
  if (Engine == nullptr || opening_) return;
  Engine->FileClose();
  ButtonsIdle();
  SetInfoText(0, "");
  SetInfoText(1, "");
}

void QMedPlayer::StartPlay() {
  if (!IsFileOpen() || !(FrameCount >= 2 || SampleCount >= 2)) return;
  StopPlay();
  RepeatsLeft = IntClamp(LoopCount, 0, 1000000);
  if (RepeatsLeft == 0) RepeatsLeft = 0x7FFFFFFF;
  if (Duration < 0.1) RepeatsLeft = 1;
  Playing = -1;
  ApplyVolume(VolumePercent);
  PlayNextRepeat();
  if (!Engine->IsPlaying()) PlaybackStopped();
}

void QMedPlayer::PlayNextRepeat() {
  if (RepeatsLeft > 0 && Playing != 0) {
    --RepeatsLeft;
    Engine->Stop();
    ButtonsPlaying();
    Engine->Play();
  } else {
    PlaybackStopped();
    if (OnPlaybackEnded) OnPlaybackEnded();
  }
}

void QMedPlayer::StopPlay() {
  Playing = 0;
  if (Engine != nullptr) Engine->Stop();
  PlaybackStopped();
  ShowEngineError();
}

void QMedPlayer::PlaybackStopped() {
  Playing = 0;
  UpdateButtons();
  UpdateInfo();
}

void QMedPlayer::ShowEngineError() {
  if (Engine != nullptr && Engine->TakeLastError() != -1) ShowError(Engine->GetLastErrorText());
}

// ---------------------------------------------------------------------------------------------
// Position and options

void QMedPlayer::SeekTime(double t) {
  if (Engine != nullptr) Engine->SeekTime(t);
}

double QMedPlayer::GetTime() { return Engine != nullptr ? Engine->GetTime() : 0; }

void QMedPlayer::SeekFrame(int32_t n) {
  if (Engine != nullptr) Engine->SeekFrame(n);
}

int32_t QMedPlayer::CurrentFrame() const { return Engine != nullptr ? Engine->CurrentFrame.load() : 0; }

void QMedPlayer::SeekBy(double d) { SeekTime(GetTime() + d); }

void QMedPlayer::SetFrameRate(double rate) {
  if (Engine == nullptr) return;
  Engine->SetFrameRate(rate);
  ReadMediaFacts();
  UpdateInfo();
}

void QMedPlayer::SetDefaultFrameRate(double rate) {
  if (Engine != nullptr) Engine->DefaultFrameRate = rate;
}

double QMedPlayer::GetDefaultFrameRate() const { return Engine != nullptr ? Engine->DefaultFrameRate : 25.0; }

double QMedPlayer::GetFrameRate() const { return Engine != nullptr ? Engine->FrameRate.load() : 0; }

void QMedPlayer::SetLoopCount(int32_t n) { LoopCount = IntClamp(n, 0, 1000000); }

void QMedPlayer::SetResizeBig(bool flag) {
  if (Engine != nullptr) Engine->SetResizeBig(flag);
  SetDisplayRect();
}

bool QMedPlayer::GetResizeBig() const { return Engine != nullptr && Engine->GetResizeBig(); }

void QMedPlayer::SetResizeSmall(bool flag) {
  if (Engine != nullptr) Engine->SetResizeSmall(flag);
  SetDisplayRect();
}

bool QMedPlayer::GetResizeSmall() const { return Engine != nullptr && Engine->GetResizeSmall(); }

void QMedPlayer::SetShowFrameRate(bool flag) { ShowFrameRate = flag ? -1 : 0; }

void QMedPlayer::SetKeepSync(bool flag) {
  if (Engine != nullptr) Engine->KeepSync.store(flag ? -1 : 0);
}

bool QMedPlayer::GetKeepSync() const { return Engine != nullptr && Engine->KeepSync.load() != 0; }

void QMedPlayer::SetColor(int32_t colour) {
  QColor c;
  if (ScrollBox != nullptr && ToQColor(colour, c)) {
    for (QWidget* w : {static_cast<QWidget*>(ScrollBox->viewport()), PicturePanel}) {
      QPalette pal = w->palette();
      pal.setColor(QPalette::Window, c);
      w->setPalette(pal);
      w->setAutoFillBackground(true);
    }
  }
  if (Engine != nullptr) Engine->SetDisplayColor(colour);
}

void QMedPlayer::SetOnDisplayMouse(DisplayMouseEventProc handler, void* data) {
  if (Engine != nullptr) Engine->OnDisplayMouse = {handler, data};
}

void QMedPlayer::SetOnNoPicture(NotifyProc handler, void* data) {
  if (Engine != nullptr) Engine->OnNoPicture = {handler, data};
}

void QMedPlayer::ShowPicture(const Qimg& picture) {
  if (Engine == nullptr) return;
  PicturePanel->setVisible(true);
  Engine->SetPicture(picture);
  ResizeTo(picture.Width, picture.Height);
  QCoreApplication::processEvents();
}

Qimg* QMedPlayer::CurrentPicture() { return IsFileOpen() ? Engine->GetPicture() : nullptr; }

void QMedPlayer::GetStatus(QMedPlayerStatus& status) {
  status.FileOpen = IsFileOpen() ? -1 : 0;
  status.Time = GetTime();
  status.CurrentFrame = CurrentFrame();
  status.PlayedSample = Engine != nullptr ? Engine->GetPlayedSample() : 0;
  status.Description = Engine != nullptr ? *Engine->GetDescription() : UniInfoRec();
}

// ---------------------------------------------------------------------------------------------
// Layout

void QMedPlayer::ArrangeLayout(int32_t width, int32_t height) {
  const int32_t w = IntClamp(width, MinWidth, IntMax(MinWidth, MaxWidth));
  const int32_t h = IntClamp(height, MinHeight, IntMax(MinHeight, MaxHeight));
  resize(w, h);
  const int32_t area = h - MinHeight;
  const bool pictureArea = area > 4;
  ScrollBox->setVisible(pictureArea);
  if (pictureArea) {
    ScrollBox->setGeometry(0, 0, w, area);
    if (!bordersKnown_) {
      borderW_ = borderH_ = 2 * ScrollBox->frameWidth();
      bordersKnown_ = true;
    }
  }
  int32_t y = area + 3;
  SetDisplayRect();
  PositionSlider->setGeometry(0, y, w, PositionSlider->height());
  y += PositionSlider->height() + 3;
  const int32_t buttonTop = y;
  int32_t rowLeft = 0, rowRight = 0;
  bool first = true;
  for (QPlayerAction* action : Actions) {
    if (action == nullptr || action->Button == nullptr) continue;
    QWidget* b = action->Button;
    b->move(b->x(), buttonTop);
    if (first || b->x() < rowLeft) rowLeft = b->x();
    if (first || b->x() + b->width() > rowRight) rowRight = b->x() + b->width();
    first = false;
  }
  const int32_t row = rowRight - rowLeft;
  y += kButtonSize + 3;
  const int32_t infoH = InfoBox0->sizeHint().height();
  const int32_t w0 = (row - 6 + 1) / 2;
  InfoBox0->setGeometry(3, y, w0, infoH);
  InfoBox1->setGeometry(3 + w0 + 6, y, row - w0 - 6, infoH);
  VolumeSlider->move(InfoBox1->x() + InfoBox1->width() + 6, buttonTop);
  if (pictureArea && Engine != nullptr) DisplayRedraw(Engine->Display);
  if (loading_)
    QCoreApplication::postEvent(this, new QEvent(PlayerMessageType(WM_PLAYER_SIZE)));
  else {
    QEvent e(PlayerMessageType(WM_PLAYER_SIZE));
    QCoreApplication::sendEvent(this, &e);
  }
}

void QMedPlayer::ResizeTo(int32_t pictureWidth, int32_t pictureHeight) {
  if (FitToPicture != 0)
    ArrangeLayout(IntClamp(pictureWidth + extraW_, MinWidth, IntMax(MinWidth, MaxWidth)),
                  IntClamp(pictureHeight + extraH_, MinHeight, IntMax(MinHeight, MaxHeight)));
  SetDisplayRect();
}

void QMedPlayer::SetDisplayRect() {
  if (Engine == nullptr || ScrollBox == nullptr) return;
  const int32_t areaW = IntMax(0, ScrollBox->width() - borderW_);
  const int32_t areaH = IntMax(0, ScrollBox->height() - borderH_);
  int32_t picW = 0, picH = 0;
  DisplayGetImageSize(Engine->Display, picW, picH);
  const bool scroll = picW > 0 && picH > 0 && (picW > areaW || picH > areaH) && !Engine->GetResizeBig();
  const Qt::ScrollBarPolicy policy = scroll ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff;
  ScrollBox->setHorizontalScrollBarPolicy(policy);
  ScrollBox->setVerticalScrollBarPolicy(policy);
  if (scroll) {
    // The scroll box centres the panel where its client area is larger.
    PicturePanel->resize(picW, picH);
  } else if (picW < 1 || picH < 1) {
    PicturePanel->resize(IntMax(1, areaW), IntMax(1, areaH));
  } else {
    bool changed = false;
    int32_t offX = 0, offY = 0, outW = 0, outH = 0;
    PicFitSize(picW, picH, areaW, areaH, Engine->GetResizeSmall(), changed, offX, offY, outW, outH);
    PicturePanel->resize(outW, outH);
  }
  Engine->SetDisplayRect(0, 0, PicturePanel->width(), PicturePanel->height());
}

}  // namespace tavelo
