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
  auto on = [this](QAction* a, auto&& f) { connect(a, &QAction::triggered, this, f); };
  connect(Menu.File, &::QMenu::aboutToShow, this, [this] {
    UpdateMenuState();
    if (RecentFiles != nullptr)
      RecentFiles->FillMenu(Menu.RecentFiles, [this](QAction* item) { OpenRecentFile(item->data().toInt()); });
    if (RecentFolders != nullptr)
      RecentFolders->FillMenu(Menu.RecentFolders, [this](QAction* item) { OpenRecentFolder(item->data().toInt()); });
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
  on(Menu.Exit, [this] { close(); });
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

  RecentFiles = new QHistory;
  RecentFolders = new QHistory;

  Player = new QMedPlayer(centralWidget());
  Player->SetFitToPicture(true);
  Player->OnFileOpened = [this] { OnFileOpened(); };
  Player->OnPlaybackEnded = [this] { OnPlaybackEnded(); };
  Player->OnSizeWanted = [this] { OnSizeWanted(); };
  // Keys reach the menu items without the menu opening: their states follow the buttons'.
  Player->OnButtonsChanged = [this] { UpdateMenuState(); };
  Player->SetOnDisplayMouse(&OnVideoClickProc, this);
  Player->SetOnNoPicture(&ShowIdlePictureProc, this);

  Update = new QInternetUpdate;
  LoadSettings();
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
    if (Player != nullptr && Player->ConstructionComplete == 0 && !CloseFlag)
      ShowError("Error in initialization. Some parts may be missing. Please reinstall the application.");
  } else if (IdleStep == 1) {
    IdleStep = 2;
    if (idleTimer_ != nullptr) idleTimer_->stop();
    if (Update != nullptr && !done_)
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
  delete RecentFiles;
  RecentFiles = nullptr;
  delete RecentFolders;
  RecentFolders = nullptr;
  // A check still running works on its own copy; its result must not land in a freed checker.
  CancelUpdateCheck();
  delete Update;
  Update = nullptr;
  if (Player != nullptr) Player->OnButtonsChanged = nullptr;
  delete Player;
  Player = nullptr;
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
  const std::string key = kSettingsKey;
  if (Player != nullptr) Player->SaveOptions(HKEY_CURRENT_USER, key + "MPlayer");
  if (RecentFiles != nullptr) RecentFiles->SaveToRegistry(HKEY_CURRENT_USER, key + "RecentFiles");
  if (RecentFolders != nullptr) RecentFolders->SaveToRegistry(HKEY_CURRENT_USER, key + "RecentFolders");
  Settings.UpdateRemind = Menu.PeriodicCheck->isChecked();
  if (Update != nullptr) Settings.UpdateNextDate = Update->NextDate;
  WriteMainSettings(Settings);
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

void TfrmPlayer::closeEvent(QCloseEvent* event) {
  ProgramDone();
  QMainWindow::closeEvent(event);
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
  // Nothing of the drop is kept once its names have been read.
  return OpenDroppedFiles(drop, [this](const std::string& name) { OpenInPlayer(name); });
}

void TfrmPlayer::FormResize() {
  if (!SafeFlagTryEnter(ResizeGuard)) return;
  if (Player != nullptr) {
    const int32_t w = ClientWidth(), h = ClientHeight();
    if (w > Player->MaxWidth) Player->MaxWidth = w;
    if (h > Player->MaxHeight) Player->MaxHeight = h;
    Player->ArrangeLayout(w, h);
  }
  SafeFlagLeave(ResizeGuard);
}

void TfrmPlayer::OnSizeWanted() {
  if (Player == nullptr || !SafeFlagTryEnter(ResizeGuard)) return;
  TRect work;
  GetWorkArea(work);
  const int32_t frameW = frameGeometry().width() - width();
  const int32_t frameH = frameGeometry().height() - height() + MenuBarHeight(Player->width());
  const int32_t workW = work.Right - work.Left, workH = work.Bottom - work.Top;
  move(work.Left + (workW - frameW - Player->width()) / 2, work.Top + (workH - frameH - Player->height()) / 2);
  if (ClientWidth() != Player->width() || ClientHeight() != Player->height())
    SetClientSize(Player->width(), Player->height());
  SafeFlagLeave(ResizeGuard);
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
