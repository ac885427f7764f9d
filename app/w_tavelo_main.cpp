#include "app/w_tavelo_main.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFont>
#include <QKeySequence>
#include <QMenuBar>
#include <QMimeData>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include <algorithm>

#include "app/assoc_list.h"
#include "app/clipex.h"
#include "app/frm_assoc.h"
#include "app/idle_picture.h"
#include "app/internet_update.h"
#include "app/w_tavelo_main_cmdline.h"
#include "core/services/basic.h"
#include "core/services/path_utils.h"
#include "core/services/trace.h"
#include "core/services/win_utils.h"
#include "formats/ff_img_from_bin.h"
#include "kit/history.h"
#include "kit/kit_utils.h"
#include "kit/msg_dlg.h"
#include "kit/xp_menu.h"
#include "player/med_player.h"
#include "platform/registry/registry.h"
#include "player/player_action.h"

namespace tavelo {

namespace {

// The client area: the player control lives on it, and its size changes are the form's resizes.
class ClientArea : public QWidget {
 public:
  explicit ClientArea(TfrmPlayer* form) : QWidget(form), form_(form) {}

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QWidget::resizeEvent(event);
    form_->FormResize();
  }

 private:
  TfrmPlayer* form_;
};

void OnVideoClickProc(void* data, uint8_t, int32_t, int32_t, uint32_t) {
  static_cast<TfrmPlayer*>(data)->OnVideoClick();
}
void ShowIdlePictureProc(void* data) { static_cast<TfrmPlayer*>(data)->ShowIdlePicture(); }

}  // namespace

TfrmPlayer::TfrmPlayer(QWidget* parent) : QMainWindow(parent) {
  setObjectName("frmPlayer");
  // "MS Sans Serif" is not found here; fontconfig hands over its substitute.
  setFont(QFont("MS Sans Serif", 8));
  setCentralWidget(new ClientArea(this));
  BuildTaveloMenu(this, Menu);
  ConnectMenu();
  ProgramInit();
}

TfrmPlayer::~TfrmPlayer() { ProgramDone(); }

void TfrmPlayer::ConnectMenu() {
  // Every command but Exit is refused while a file opens (the open lets key and menu events in)
  // and once the window is closing; a running command keeps the window's objects alive.
  auto on = [this](QAction* a, auto&& f) {
    connect(a, &QAction::triggered, this, [this, f] {
      if (CommandsRefused()) return;
      const CommandScope scope(commandDepth_);
      f();
    });
  };
  connect(Menu.File, &::QMenu::aboutToShow, this, [this] {
    UpdateMenuState();
    const auto recent = [this](void (TfrmPlayer::*open)(int32_t)) {
      return [this, open](QAction* item) {
        if (CommandsRefused()) return;
        const CommandScope scope(commandDepth_);
        (this->*open)(item->data().toInt());
      };
    };
    if (RecentFiles != nullptr) RecentFiles->FillMenu(Menu.RecentFiles, recent(&TfrmPlayer::OpenRecentFile));
    if (RecentFolders != nullptr) RecentFolders->FillMenu(Menu.RecentFolders, recent(&TfrmPlayer::OpenRecentFolder));
  });
  connect(Menu.Navigate, &::QMenu::aboutToShow, this, [this] { UpdateMenuState(); });
  on(Menu.Open, [this] { RunAction(paOpenFile); });
  on(Menu.Convert, [this] { Convert(); });
  on(Menu.Close, [this] { CloseFile(); });
  on(Menu.SaveScreenshot, [this] { SaveScreenshot(true); });
  on(Menu.QuickScreenshot, [this] { SaveScreenshot(false); });
  on(Menu.FileInfo, [this] { RunAction(paFileInfo); });
  on(Menu.CurrentFrameInfo, [this] { ShowCurrentFrameInfo(); });
  on(Menu.FrameRate, [this] { AskFrameRate(); });
  on(Menu.Copy, [this] { CopyOrMoveFile(true); });
  on(Menu.MoveRename, [this] { CopyOrMoveFile(false); });
  on(Menu.Delete, [this] { DeleteFileToRecycleBin(); });
  connect(Menu.Exit, &QAction::triggered, this, [this] { close(); });
  on(Menu.PlayPause, [this] { PlayPause(); });
  on(Menu.Stop, [this] { RunAction(paStop); });
  on(Menu.NextPicture, [this] { RunAction(paPicFwd); });
  on(Menu.PreviousPicture, [this] { RunAction(paPicBack); });
  on(Menu.FiveSecondsForward, [this] { RunAction(paFiveSecsFwd); });
  on(Menu.FiveSecondsBackward, [this] { RunAction(paFiveSecsBack); });
  on(Menu.FivePercentForward, [this] { RunAction(paFivePercFwd); });
  on(Menu.FivePercentBackward, [this] { RunAction(paFivePercBack); });
  on(Menu.GoToStart, [this] { RunAction(paGoToStart); });
  on(Menu.GoToEnd, [this] { RunAction(paGoToEnd); });
  on(Menu.VolumeUp, [this] { ChangeVolume(10); });
  on(Menu.VolumeDown, [this] { ChangeVolume(-10); });
  on(Menu.FitWindow, [this] { FitWindowToImage(); });
  on(Menu.FileFormats, [this] { ShowAssocDialog(this); });
  on(Menu.Options, [this] { RunAction(paOptions); });
  on(Menu.QuickHelp, [this] { QuickHelp(); });
  on(Menu.Faq, [] { ShellOpenWebUrl(kFaqUrl); });
  on(Menu.HomePage, [] { ShellOpenWebUrl(kHomePageUrl); });
  on(Menu.CheckUpdates, [this] {
    if (Update != nullptr && Player != nullptr)
      CheckForUpdates(*Update, [this](const std::string& text) { if (Player) Player->SetInfoText(0, text); });
  });
  on(Menu.CreateLog, [this] { ToggleProgramLog(); });
  on(Menu.About, [this] { About(); });
}

// ---- Start-up and shut-down ----

void TfrmPlayer::CheckInitComplete() {
  InitRest = InitPartCount() - 5;
  if (InitRest != 0) ShowError("Initialization not complete (" + std::to_string(InitRest) + ").");
}

void TfrmPlayer::ProgramInit() {
  TraceScope trace("wTaveloMain.ProgramInit");
  CheckInitComplete();
  SafeFlagInit(ResizeGuard);
  SetMainCaption("");
  SetApplicationTitle("Tavelo");
  ProgramFolder = GetExeDir();
  CloseFlag = false;

  RecentFiles = std::make_unique<QHistory>();
  RecentFolders = std::make_unique<QHistory>();

  Player = std::make_unique<QMedPlayer>(centralWidget());
  Player->SetFitToPicture(true);
  Player->OnFileOpened = [this] { OnFileOpened(); };
  Player->OnPlaybackEnded = [this] { OnPlaybackEnded(); };
  Player->OnSizeWanted = [this] { OnSizeWanted(); };
  // Keys reach the menu items without the menu opening: their states follow the buttons'.
  Player->OnButtonsChanged = [this] { UpdateMenuState(); };
  Player->SetOnDisplayMouse(&OnVideoClickProc, this);
  Player->SetOnNoPicture(&ShowIdlePictureProc, this);
  // A close asked for during an open breaks the open off at its next progress step.
  Player->OnOpening = [this](int32_t& answer) {
    if (closing_) answer = 0;
  };

  Update = std::make_unique<QInternetUpdate>();
  LoadSettings();
  // A damaged settings file was set aside by the store: the user hears of it once, below.
  DamagedSettingsKeptAs = platform::TakeRegistrySetAside();
  ApplySizeConstraints();
  ApplyInitialClientSize();
  CloseFile();
  ApplyActionShortcuts();
  setAcceptDrops(true);
  XPMenuInit(this);

  idleTimer_ = new QTimer(this);
  idleTimer_->setInterval(0);
  connect(idleTimer_, &QTimer::timeout, this, [this] { AppIdle(); });
  idleTimer_->start();
}

void TfrmPlayer::AppIdle() {
  // The command line's open and the boxes below let events in: a close there must wait for them.
  const CommandScope scope(commandDepth_);
  if (IdleStep == 0) {
    IdleStep = 1;
    if (isVisible()) {
      CmdLinePlayer target;
      target.OpenFile = [this](const std::string& name) { OpenInPlayer(name); };
      target.Play = [this] { RunAction(paPlay); };
      target.GetLoopCount = [this] { return Player != nullptr ? Player->GetLoopCount() : 1; };
      target.SetLoopCount = [this](int32_t n) {
        if (Player != nullptr) Player->SetLoopCount(n);
      };
      target.ProcessMessages = [] { QApplication::processEvents(); };
      target.SetCloseFlag = [this] { CloseFlag = true; };
      ProcessCommandLineParams(target);
      SetCursorArrow();
      if (!CloseFlag && AudioPresent.load() == 0) ShowError("Audio hardware not detected. Please reinstall drivers.");
    }
    if (!DamagedSettingsKeptAs.empty() && !closing_) {
      const std::string keptAs = DamagedSettingsKeptAs;
      DamagedSettingsKeptAs.clear();
      ShowWarning("The settings file was damaged, so Tavelo started with its default settings.\r\n"
                  "The damaged file was kept as:\r\n" + keptAs);
    }
    if (Player != nullptr && Player->ConstructionComplete == 0 && !CloseFlag)
      ShowError("Error in initialization. Some parts may be missing. Please reinstall the application.");
  } else if (IdleStep == 1) {
    IdleStep = 2;
    if (idleTimer_ != nullptr) idleTimer_->stop();
    // A run with the close switch is a scripted player: nobody is there to answer the question.
    if (Update != nullptr && !done_ && !closing_ && !CloseFlag)
      AutoUpdatePrompt(*Update, Menu.PeriodicCheck->isChecked(),
                       [this](const std::string& text) { if (Player) Player->SetInfoText(0, text); });
  }
}

void TfrmPlayer::ProgramDone() {
  if (done_) return;
  done_ = true;
  TraceScope trace("wTaveloMain.ProgramDone");
  if (idleTimer_ != nullptr) idleTimer_->stop();
  SaveSettings();
  RecentFiles.reset();
  RecentFolders.reset();
  // A check still running works on its own copy; its result must not land in a freed checker.
  CancelUpdateCheck();
  Update.reset();
  if (Player != nullptr) Player->OnButtonsChanged = nullptr;
  DestroyThenClear(Player);
}

void TfrmPlayer::LoadSettings() {
  if (ReadFirstRun()) RunFirstRunSteps(ProgramPath(), &RegisterDefaultAssociations);
  const std::string key = kSettingsKey;
  if (Player != nullptr) Player->LoadOptions(HKEY_CURRENT_USER, key + "MPlayer");
  RecentFiles->LoadFromRegistry(HKEY_CURRENT_USER, key + "RecentFiles");
  RecentFolders->LoadFromRegistry(HKEY_CURRENT_USER, key + "RecentFolders");
  ReadMainSettings(Settings);
  Menu.PeriodicCheck->setChecked(Settings.UpdateRemind);
  Update->NextDate = Settings.UpdateNextDate;
}

void TfrmPlayer::SaveSettings() {
  // One write for the whole save: a kill at any moment leaves the old settings or the new ones,
  // whole, and a second instance saving at the same time waits instead of mixing its lists in.
  platform::RegStoreTransaction save(HKEY_CURRENT_USER);
  const std::string key = kSettingsKey;
  if (Player != nullptr) Player->SaveOptions(HKEY_CURRENT_USER, key + "MPlayer");
  if (RecentFiles != nullptr) RecentFiles->SaveToRegistry(HKEY_CURRENT_USER, key + "RecentFiles");
  if (RecentFolders != nullptr) RecentFolders->SaveToRegistry(HKEY_CURRENT_USER, key + "RecentFolders");
  Settings.UpdateRemind = Menu.PeriodicCheck->isChecked();
  if (Update != nullptr) Settings.UpdateNextDate = Update->NextDate;
  WriteMainSettings(Settings);
  save.End();
}

int32_t TfrmPlayer::ClientWidth() const { return centralWidget()->width(); }
int32_t TfrmPlayer::ClientHeight() const { return centralWidget()->height(); }

int32_t TfrmPlayer::MenuBarHeight(int32_t windowWidth) const {
  // What the window's layout gives the menu bar at that width.
  QMenuBar* bar = menuBar();
  if (bar == nullptr || bar->isHidden() || bar->isNativeMenuBar()) return 0;
  bar->ensurePolished();
  return std::max(bar->heightForWidth(windowWidth), bar->minimumSize().height());
}

void TfrmPlayer::SetClientSize(int32_t width, int32_t height) {
  // The frame is what the window has beyond its client area: the menu bar. The client area is
  // sized at once too, so that a window not yet shown knows it before its layout runs.
  wantedClientW_ = width;
  wantedClientH_ = height;
  resize(width, height + MenuBarHeight(width));
  centralWidget()->resize(width, height);
}

void TfrmPlayer::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // The menu bar takes its final height (font and skin) only when the window is first shown:
  // the client area then gets back the size it was given.
  if (shownOnce_) return;
  shownOnce_ = true;
  if (wantedClientW_ > 0 && (ClientWidth() != wantedClientW_ || ClientHeight() != wantedClientH_))
    SetClientSize(wantedClientW_, wantedClientH_);
}

void TfrmPlayer::ApplySizeConstraints() {
  // The window manager's border (known once the window is shown) and the menu bar.
  const int32_t borderW = frameGeometry().width() - width(), borderH = frameGeometry().height() - height();
  const int32_t frameW = borderW, frameH = borderH + MenuBarHeight(Player->MinWidth);
  TRect work;
  GetWorkArea(work);
  const int32_t workW = work.Right - work.Left, workH = work.Bottom - work.Top;
  Player->MaxWidth = workW - frameW;
  Player->MaxHeight = workH - frameH;
  // Qt's limits are for the window without the border.
  setMinimumSize(frameW - borderW + Player->MinWidth, frameH - borderH + Player->MinHeight);
  setMaximumSize(workW - borderW, workH - borderH);
}

void TfrmPlayer::ApplyInitialClientSize() {
  if (Player != nullptr) SetClientSize(Player->MinWidth, Player->MinWidth * 3 / 5 + Player->MinHeight);
}

void TfrmPlayer::ApplyActionShortcuts() {
  const std::pair<int32_t, QAction*> pairs[] = {
      {paPlay, Menu.PlayPause},         {paStop, Menu.Stop},
      {paOpenFile, Menu.Open},          {paGoToStart, Menu.GoToStart},
      {paFiveSecsBack, Menu.FiveSecondsBackward}, {paPicBack, Menu.PreviousPicture},
      {paPicFwd, Menu.NextPicture},     {paFiveSecsFwd, Menu.FiveSecondsForward},
      {paGoToEnd, Menu.GoToEnd},        {paFileInfo, Menu.FileInfo},
      {paOptions, Menu.Options},        {paFivePercFwd, Menu.FivePercentForward},
      {paFivePercBack, Menu.FivePercentBackward},
  };
  for (const auto& [index, item] : pairs)
    if (Player != nullptr && Player->Action(index) != nullptr) item->setShortcut(Player->Action(index)->ShortCut);
}

// ---- Events of the form ----

bool TfrmPlayer::CommandsRefused() const {
  return closing_ || done_ || opening_ || (Player != nullptr && Player->IsOpening());
}

bool TfrmPlayer::Busy() const { return commandDepth_ > 0 || opening_ || (Player != nullptr && Player->IsBusy()); }

void TfrmPlayer::closeEvent(QCloseEvent* event) {
  // A close can arrive from inside a command (an open's progress, a box's modal loop): freeing
  // the player or the lists under it would pull them from under that command. Then the window
  // only hides, the open breaks off, every modal loop is ended, and ProgramDone runs once the
  // stack has unwound (after the event loop, or in the destructor).
  closing_ = true;
  if (!Busy()) ProgramDone();
  QMainWindow::closeEvent(event);
  // Closing the main window ends the program, whatever box of its own is still up.
  if (QThread::currentThread()->loopLevel() > 0) QCoreApplication::exit(0);
}

void TfrmPlayer::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData() != nullptr && event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TfrmPlayer::dragMoveEvent(QDragMoveEvent* event) {
  if (event->mimeData() != nullptr && event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TfrmPlayer::dropEvent(QDropEvent* event) {
  if (AppMessage(event->mimeData())) event->acceptProposedAction();
}

bool TfrmPlayer::AppMessage(const QMimeData* drop) {
  if (CommandsRefused()) return false;
  const CommandScope scope(commandDepth_);
  // Nothing of the drop is kept once its names have been read.
  return OpenDroppedFiles(drop, [this](const std::string& name) { OpenInPlayer(name); });
}

void TfrmPlayer::FormResize() {
  const ReentryGuard entry(ResizeGuard);
  if (!entry) return;
  if (Player != nullptr) {
    const int32_t w = ClientWidth(), h = ClientHeight();
    if (w > Player->MaxWidth) Player->MaxWidth = w;
    if (h > Player->MaxHeight) Player->MaxHeight = h;
    Player->ArrangeLayout(w, h);
  }
}

void TfrmPlayer::OnSizeWanted() {
  if (Player == nullptr) return;
  const ReentryGuard entry(ResizeGuard);
  if (!entry) return;
  TRect work;
  GetWorkArea(work);
  const int32_t frameW = frameGeometry().width() - width();
  const int32_t frameH = frameGeometry().height() - height() + MenuBarHeight(Player->width());
  const int32_t workW = work.Right - work.Left, workH = work.Bottom - work.Top;
  move(work.Left + (workW - frameW - Player->width()) / 2, work.Top + (workH - frameH - Player->height()) / 2);
  if (ClientWidth() != Player->width() || ClientHeight() != Player->height())
    SetClientSize(Player->width(), Player->height());
}

void TfrmPlayer::OnPlaybackEnded() {
  // The player raises this from inside its own message handler: the window closes (and frees
  // the player) once that handler has returned.
  if (CloseFlag) QTimer::singleShot(0, this, [this] { close(); });
}

void TfrmPlayer::OnVideoClick() {
  SetCursorArrow();
  if (Player != nullptr && Player->IsFileOpen()) PlayPause();
}

void TfrmPlayer::ShowIdlePicture() {
  if (Player == nullptr) return;
  setWindowState(windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen));
  Qimg img;
  if (ImgFromBin(IdlePictureBlob(), img)) Player->ShowPicture(img);
  ImgFree(img);
}

}  // namespace tavelo
