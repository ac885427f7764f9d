// The player control (unit MedPlayer): the windowed control the main window embeds. It owns one
// playback engine and shows its picture in a scroll box, offers a position slider, a volume
// slider, two read-only info boxes and the buttons of its 14 commands (player_action.h), turns
// the engine's thread-side events into private messages to its own widget, runs repeats, and
// reports to the main window through its own events. The main window never calls the engine.
//
// Threads. Everything here runs on the main thread except EnginePosition, which the engine raises
// on any of its threads and which only posts messages (custom events) to this widget: 950 when
// the position changed, and 951 as well when the engine is not playing at that moment (the end
// of a play run, or a seek while stopped). 952 asks the owner to resize, 953 carries a click on
// the display to the main thread.
//
// Re-entrancy. Progress texts and ShowPicture let the application process pending events, so a
// drop or a recent-list click can arrive while a file is being opened: a second open is refused
// while one runs (the refusal is shown in the info box) and the running open goes on untouched.
// The slider, play and volume handlers refuse re-entry through their guard flags.
#pragma once
#include <QEvent>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/services/exception_log.h"
#include "formats/conform.h"
#include "player/med_engine.h"
#include "player/safe_sync.h"

class QLineEdit;
class QScrollArea;

namespace tavelo {

class QPlayerAction;
class QTracker;

// The control's private messages, posted (or sent) to its widget as events of type
// PlayerMessageType(number).
enum : int32_t { WM_PLAYER_POSITION = 950, WM_PLAYER_ENDED = 951, WM_PLAYER_SIZE = 952, WM_PLAYER_MOUSE = 953 };
QEvent::Type PlayerMessageType(int32_t message);

// The commands in the order of their bits in the enable mask.
enum PlayerActionIndex : int32_t {
  paPlay = 0,
  paPause,
  paStop,
  paOpenFile,
  paPicFwd,
  paPicBack,
  paFiveSecsFwd,
  paFiveSecsBack,
  paFivePercFwd,
  paFivePercBack,
  paGoToStart,
  paGoToEnd,
  paFileInfo,
  paOptions,
  kPlayerActionCount
};

// Enable-mask bits beyond the 14 commands.
enum : uint32_t { pmPositionSlider = 0x4000, pmVolumeSlider = 0x8000 };

struct QMedPlayerStatus {
  int32_t FileOpen = 0;  // bool32
  double Time = 0;
  int32_t CurrentFrame = 0;
  int32_t PlayedSample = 0;
  UniInfoRec Description;
};

// The volume table: entry 0 = 0, entry 100 = 1000, entry p = round(1000 x (p / 100)^0.15) (ties
// to even). Filled each time a control is made.
// The open dialog's folder before one was chosen: none (the dialog starts at the home folder), and
// the volume of a fresh profile.
inline constexpr const char* kDefaultOpenFolder = "";
constexpr int32_t kDefaultVolume = 50;

void FillVolumeTable_();
int32_t VolumeTableEntry(int32_t percent);

class QMedPlayer : public QWidget {
 public:
  // Create. clock and media are for tests (the machine's clock and the dispatcher by default).
  explicit QMedPlayer(QWidget* owner, PlayerClock* clock = nullptr, const MediaAccess* media = nullptr);
  // Destroy: frees the engine first, then ends the guard unit and the child controls.
  ~QMedPlayer() override;
  QMedPlayer(const QMedPlayer&) = delete;
  QMedPlayer& operator=(const QMedPlayer&) = delete;

  // ---- Files ----
  // True when the file is open. Nothing for an empty name; refused (false) while another open runs.
  bool OpenFile(const std::string& fileName);
  void CloseFile();
  bool IsFileOpen() const;
  bool IsPlaying() const;
  // An open is under way (its progress lets events in; a second open and every command are refused).
  bool IsOpening() const { return opening_; }
  // One of the control's commands or an open is on the stack: the control must not be freed.
  bool IsBusy() const { return opening_ || PlayGuard == 0; }
  void StartPlay();
  void StopPlay();

  // ---- Position ----
  void SeekTime(double t);
  double GetTime();
  void SeekFrame(int32_t n);
  int32_t CurrentFrame() const;  // 0-based
  void SeekBy(double d);         // SeekTime(GetTime + d)

  // ---- Options the main window sets ----
  void SetFrameRate(double rate);
  void SetDefaultFrameRate(double rate);
  double GetDefaultFrameRate() const;
  double GetFrameRate() const;  // the rate in use
  void SetLoopCount(int32_t n);
  int32_t GetLoopCount() const { return LoopCount; }
  void SetVolume(int32_t percent);
  int32_t GetVolume() const { return VolumePercent; }
  void ApplyVolume(int32_t percent);
  void SetResizeBig(bool flag);
  bool GetResizeBig() const;
  void SetResizeSmall(bool flag);
  bool GetResizeSmall() const;
  void SetShowFrameRate(bool flag);
  bool GetShowFrameRate() const { return ShowFrameRate != 0; }
  void SetKeepSync(bool flag);
  bool GetKeepSync() const;
  void SetFitToPicture(bool flag) { FitToPicture = flag ? -1 : 0; }
  void SetColor(int32_t colour);
  // Replace the engine's display-mouse event, set its no-picture event.
  void SetOnDisplayMouse(DisplayMouseEventProc handler, void* data);
  void SetOnNoPicture(NotifyProc handler, void* data);

  // ---- Pictures ----
  // Shows picture (the main window's built-in picture) and lets the application process events.
  void ShowPicture(const Qimg& picture);
  Qimg* CurrentPicture();  // nullptr when no file is open
  void GetStatus(QMedPlayerStatus& status);

  // ---- Layout ----
  void ResizeTo(int32_t pictureWidth, int32_t pictureHeight);
  void ArrangeLayout(int32_t width, int32_t height);
  void SetDisplayRect();

  // ---- Settings: the eight values under rootKey\key ----
  void SaveOptions(uint32_t rootKey, const std::string& key);
  void LoadOptions(uint32_t rootKey, const std::string& key);

  // ---- Info boxes and buttons ----
  void UpdateInfo();
  void SetInfoText(int32_t box, const std::string& text);
  std::string InfoText(int32_t box) const;
  void SetButtonsEnabled(uint32_t mask);
  uint32_t ButtonsEnabled() const { return enabledMask_; }
  void ButtonsOff();
  void ButtonsIdle();
  void UpdateButtons();
  void ButtonsPlaying();
  void ReadMediaFacts();

  // ---- The command handlers (each under PlayGuard) ----
  void PlayClick();
  void PauseClick();
  void StopClick();
  void OpenFileClick();
  void PicFwdClick();
  void PicBackClick();
  void FiveSecsFwdClick();
  void FiveSecsBackClick();
  void FivePercFwdClick();
  void FivePercBackClick();
  void GoToStartClick();
  void GoToEndClick();
  void FileInfoClick();
  void OptionsClick();
  // "All Files (*.*)|*.*|" + the all-formats parts for movies, pictures and sounds + the formats.
  static std::string MakeOpenFilter();

  QPlayerAction* Action(int32_t index) const { return Actions[static_cast<size_t>(index)]; }
  QMedEngine* GetEngine() const { return Engine.get(); }

  // ---- Fields ----
  std::unique_ptr<QMedEngine> Engine;
  int32_t ConstructionComplete = -1;  // bool32
  QScrollArea* ScrollBox = nullptr;
  QWidget* PicturePanel = nullptr;
  QTracker* PositionSlider = nullptr;
  QTracker* VolumeSlider = nullptr;
  QLineEdit* InfoBox0 = nullptr;
  QLineEdit* InfoBox1 = nullptr;
  int32_t MinWidth = 0, MinHeight = 0;
  int32_t MaxWidth = 0, MaxHeight = 0;
  SafeFlag SliderGuard = 0, PlayGuard = 0, VolumeGuard = 0;
  std::array<QPlayerAction*, kPlayerActionCount> Actions{};
  std::string DefaultFolder = kDefaultOpenFolder;
  int32_t LoopCount = 1;
  int32_t ShowFrameRate = 0;  // bool32
  int32_t VolumePercent = 75;
  std::string ErrorText;
  int32_t Playing = 0;  // bool32
  int32_t RepeatsLeft = 0;
  int32_t SliderScale = 0;
  double FrameStep = 1.0, PercentStep = 0;
  int32_t FitToPicture = 0;  // bool32
  int32_t HasVideo = 0, FrameCount = 0;
  double VideoDuration = 0;
  int32_t PictureWidth = 0, PictureHeight = 0;
  int32_t HasAudio = 0, SampleCount = 0;
  double AudioDuration = 0, Duration = 0, LastTime = 0;

  // Events towards the main window (empty until it sets them).
  std::function<void()> OnFileOpened;
  std::function<void(int32_t& answer)> OnOpening;  // answer 0 asks the format layer to stop
  std::function<void()> OnPlaybackEnded;
  std::function<void()> OnSizeWanted;
  std::function<void(uint8_t kind, int32_t x, int32_t y, uint32_t colour)> OnDisplayClick;
  // The enable mask changed: a menu that runs the same commands by key follows it at once.
  std::function<void()> OnButtonsChanged;

 protected:
  bool event(QEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void Construct(PlayerClock* clock, const MediaAccess* media);
  void WMPosition();
  void WMPlayEnded();
  void PlayNextRepeat();
  void PlaybackStopped();
  void ShowEngineError();
  void PositionSliderChange();
  void VolumeSliderChange();
  void WhenOpeningFile(FFProgressRec* progress);
  static void EnginePosition(void* data);
  static void EngineDisplayMouse(void* data, uint8_t kind, int32_t x, int32_t y, uint32_t colour);
  static void EngineOpenProgress(void* data, FFProgressRec* progress);
  // Runs a command handler under PlayGuard; nothing when another handler of the control runs or
  // while a file opens (the open lets key and menu events in; a command there would act on a
  // half-made file).
  template <class Work>
  void Guarded(Work&& work);

  uint32_t enabledMask_ = 0;
  bool loading_ = true;   // still inside the constructor: 952 is posted, not sent
  bool opening_ = false;  // OpenFile is running
  bool bordersKnown_ = false;
  int32_t borderW_ = 0, borderH_ = 0;
  int32_t extraW_ = 4, extraH_ = 0;
  // The stored display-click arguments for 953.
  uint8_t clickKind_ = 0;
  int32_t clickX_ = 0, clickY_ = 0;
  uint32_t clickColour_ = 0;
};

template <class Work>
void QMedPlayer::Guarded(Work&& work) {
  if (opening_) return;
  const ReentryGuard entry(PlayGuard);
  if (!entry) return;
  try {
    work();
  } catch (...) {
    // A handler runs inside the toolkit's event dispatch: its failure is logged, never thrown on.
    LogException("QMedPlayer");
  }
}

}  // namespace tavelo
