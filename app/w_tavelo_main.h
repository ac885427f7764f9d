// The main window (unit wTaveloMain): a form holding the player control under a main menu. It owns
// the program-wide objects of the application side for the whole run: the two recent lists, the
// player control, the update checker and the settings. Its commands mostly run the player's
// command objects; the rest are its own: recent lists, screenshots, copy / move / delete of the
// open file, volume steps, fitting the window to the picture, the current-frame report, the help
// pages and the caption.
//
// Start-up: the constructor is the form's creation and runs ProgramInit; the two idle steps run
// from a zero-time timer once the event loop is idle (the first handles the command line, the
// second offers the update check); closing the window runs ProgramDone.
#pragma once
#include <QMainWindow>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/w_tavelo_main_settings.h"
#include "player/safe_sync.h"

class QAction;
class QMimeData;
class QMenu;
class QTimer;

namespace tavelo {

class QHistory;
class QInternetUpdate;
class QMedPlayer;
struct Qimg;

// The menu items, by the names of their commands.
struct TaveloMenu {
  ::QMenu* File = nullptr;
  QAction* Open = nullptr;
  ::QMenu* RecentFiles = nullptr;
  ::QMenu* RecentFolders = nullptr;
  QAction* Convert = nullptr;
  QAction* Close = nullptr;
  QAction* SaveScreenshot = nullptr;
  QAction* QuickScreenshot = nullptr;
  QAction* FileInfo = nullptr;
  QAction* CurrentFrameInfo = nullptr;
  QAction* FrameRate = nullptr;
  QAction* Copy = nullptr;
  QAction* MoveRename = nullptr;
  QAction* Delete = nullptr;
  QAction* Exit = nullptr;
  ::QMenu* Navigate = nullptr;
  QAction* PlayPause = nullptr;
  QAction* Stop = nullptr;
  QAction* NextPicture = nullptr;
  QAction* PreviousPicture = nullptr;
  QAction* FiveSecondsForward = nullptr;
  QAction* FiveSecondsBackward = nullptr;
  QAction* FivePercentForward = nullptr;
  QAction* FivePercentBackward = nullptr;
  QAction* GoToStart = nullptr;
  QAction* GoToEnd = nullptr;
  QAction* VolumeUp = nullptr;
  QAction* VolumeDown = nullptr;
  ::QMenu* View = nullptr;
  QAction* FitWindow = nullptr;
  QAction* FileFormats = nullptr;
  QAction* Options = nullptr;
  ::QMenu* Help = nullptr;
  QAction* QuickHelp = nullptr;
  QAction* Faq = nullptr;
  QAction* HomePage = nullptr;
  QAction* CheckUpdates = nullptr;
  QAction* PeriodicCheck = nullptr;
  QAction* CreateLog = nullptr;
  QAction* About = nullptr;
};

// Builds the four menus with their captions, shortcuts, separators and check marks into the
// window's menu bar (the commands are connected by the window).
void BuildTaveloMenu(QMainWindow* form, TaveloMenu& menu);

// The screenshot name for frame (0-based) of fileName: the file's name, "_" and the frame number
// + 1 in five digits, every "." made "_", then ext ('' gives ".jpg").
std::string ScreenshotName(const std::string& fileName, int32_t frame, const std::string& ext);

// The caption: "Tavelo 3.1.0 - " + name, or "Tavelo 3.1.0" for an empty name.
std::string MainCaption(const std::string& name);

// The addresses of the maker's pages.
// The maker's web site: the update file and the Help menu's pages lie under it.
extern const char* const kMakerSite;
extern const char* const kFaqUrl;
extern const char* const kHomePageUrl;
extern const char* const kConverterUrl;

class TfrmPlayer : public QMainWindow {
 public:
  explicit TfrmPlayer(QWidget* parent = nullptr);
  ~TfrmPlayer() override;
  TfrmPlayer(const TfrmPlayer&) = delete;
  TfrmPlayer& operator=(const TfrmPlayer&) = delete;

  // ---- Start-up and shut-down ----
  void ProgramInit();
  void ProgramDone();
  void AppIdle();
  void LoadSettings();
  void SaveSettings();
  void ApplySizeConstraints();
  // ClientWidth := the player's minimum width, ClientHeight := three fifths of it + the player's
  // minimum height.
  void ApplyInitialClientSize();
  void ApplyActionShortcuts();
  // The application's message hook: a drop of names opens the first file kept. True when the
  // drop was handled (also when nothing was kept).
  bool AppMessage(const QMimeData* drop);

  // ---- Commands ----
  void UpdateMenuState();
  void SetMainCaption(const std::string& fileName);
  void CloseFile();
  void AddToHistory(const std::string& path);
  // Opens a file in the player unless an open started by this window is still running. A file
  // that does not open is reported as File > Open reports it; with the close flag the reason goes
  // to stderr instead, and the window closes with ExitStatus 1 (nothing would ever close it).
  bool OpenInPlayer(const std::string& fileName);
  void ReportFailedOpen(const std::string& fileName);
  void OpenRecentFile(int32_t index);
  void OpenRecentFolder(int32_t index);
  void SaveScreenshot(bool withDialog);
  void CopyOrMoveFile(bool copy);
  void DeleteFileToRecycleBin();
  void ShowCurrentFrameInfo();
  void AskFrameRate();
  void ChangeVolume(int32_t delta);
  void FitWindowToImage();
  void PlayPause();
  void ToggleProgramLog();
  void Convert();
  void About();
  void QuickHelp();

  // ---- Player events ----
  void OnFileOpened();
  void OnPlaybackEnded();
  void OnSizeWanted();
  void OnVideoClick();
  void ShowIdlePicture();
  void FormResize();

  // The client area's size (the part below the menu bar).
  int32_t ClientWidth() const;
  int32_t ClientHeight() const;
  void SetClientSize(int32_t width, int32_t height);
  int32_t MenuBarHeight(int32_t windowWidth) const;

  // ---- Program-wide state ----
  TaveloMenu Menu;
  std::string ProgramFolder;
  // Made by ProgramInit, freed by ProgramDone (the player first among the window's controls,
  // before the window's own end: the player also has the client area as its Qt parent, which
  // finds it gone).
  std::unique_ptr<QHistory> RecentFiles;
  std::unique_ptr<QHistory> RecentFolders;
  std::unique_ptr<QMedPlayer> Player;
  std::unique_ptr<QInternetUpdate> Update;
  bool CloseFlag = false;
  int32_t IdleStep = 0;
  SafeFlag ResizeGuard = 1;
  MainSettings Settings;
  int32_t ScreenshotFilterIndex = 1;  // the save dialog's filter, remembered for the run
  int32_t InitRest = 0;               // what CheckInitComplete found
  int32_t ExitStatus = 0;             // the program's exit status once the window has closed
  std::string DamagedSettingsKeptAs;  // where a damaged settings file was kept, until reported

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  // Counts the window's commands on the stack (a command runs modal loops and lets events in).
  struct CommandScope {
    explicit CommandScope(int32_t& depth) : depth_(depth) { ++depth_; }
    ~CommandScope() { --depth_; }
    CommandScope(const CommandScope&) = delete;
    CommandScope& operator=(const CommandScope&) = delete;
    int32_t& depth_;
  };
  // True while a file opens and once the window closes: commands are refused then.
  bool CommandsRefused() const;
  // True while a command of the window or of the player, or an open, is on the stack.
  bool Busy() const;
  void CheckInitComplete();
  void ConnectMenu();
  void RunAction(int32_t index);
  bool ActionEnabled(int32_t index) const;
  bool HasPictures() const;
  std::string OpenFileName() const;

  QTimer* idleTimer_ = nullptr;
  bool opening_ = false;  // an open started by this window is running
  bool done_ = false;     // ProgramDone has run
  bool closing_ = false;  // the window was closed; ProgramDone waits for the commands running
  int32_t commandDepth_ = 0;
  bool shownOnce_ = false;
  int32_t wantedClientW_ = 0, wantedClientH_ = 0;  // the client size last set
};

}  // namespace tavelo
