// The main window's own commands: recent lists, screenshots, file operations, the current-frame
// report, the frame rate, volume, fitting, help and the caption.
#include <QAction>
#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/w_tavelo_input_fps.h"
#include "app/w_tavelo_main.h"
#include "app/w_tavelo_main_cmdline.h"
#include "base/posix_files.h"
#include "core/services/basic.h"
#include "core/services/errors.h"
#include "core/services/monitor.h"
#include "core/services/path_utils.h"
#include "core/services/text_utils.h"
#include "core/services/trace.h"
#include "core/services/win_utils.h"
#include "formats/conform.h"
#include "formats/ff_basic.h"
#include "kit/history.h"
#include "kit/kit_utils.h"
#include "player/med_player.h"
#include "platform/shell/shell.h"
#include "player/player_action.h"

namespace tavelo {

namespace {

bool FileExists(const std::string& path) {
  std::error_code ec;
  return !path.empty() && std::filesystem::is_regular_file(path, ec);
}

bool FolderExists(const std::string& path) {
  std::error_code ec;
  return !path.empty() && std::filesystem::is_directory(path, ec);
}

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace

void TfrmPlayer::SetMainCaption(const std::string& fileName) {
  setWindowTitle(QString::fromStdString(MainCaption(fileName)));
}

void TfrmPlayer::RunAction(int32_t index) {
  if (closing_ || done_) return;
  if (Player != nullptr && Player->Action(index) != nullptr) Player->Action(index)->Click();
}

bool TfrmPlayer::ActionEnabled(int32_t index) const {
  return Player != nullptr && Player->Action(index) != nullptr && Player->Action(index)->Enabled();
}

bool TfrmPlayer::HasPictures() const {
  if (Player == nullptr) return false;
  QMedPlayerStatus status;
  Player->GetStatus(status);
  return status.FileOpen != 0 && status.Description.Video.HasVideo != 0 && status.Description.Video.VideoSupported != 0;
}

std::string TfrmPlayer::OpenFileName() const {
  if (Player == nullptr || !Player->IsFileOpen()) return "";
  QMedPlayerStatus status;
  Player->GetStatus(status);
  return status.Description.FileName;
}

void TfrmPlayer::UpdateMenuState() {
  const bool open = Player != nullptr && Player->IsFileOpen();
  const bool pictures = HasPictures();
  Menu.Open->setEnabled(ActionEnabled(paOpenFile));
  Menu.FileInfo->setEnabled(ActionEnabled(paFileInfo));
  Menu.Options->setEnabled(ActionEnabled(paOptions));
  Menu.Stop->setEnabled(ActionEnabled(paStop));
  Menu.NextPicture->setEnabled(ActionEnabled(paPicFwd));
  Menu.PreviousPicture->setEnabled(ActionEnabled(paPicBack));
  Menu.FiveSecondsForward->setEnabled(ActionEnabled(paFiveSecsFwd));
  Menu.FiveSecondsBackward->setEnabled(ActionEnabled(paFiveSecsBack));
  Menu.FivePercentForward->setEnabled(ActionEnabled(paFivePercFwd));
  Menu.FivePercentBackward->setEnabled(ActionEnabled(paFivePercBack));
  Menu.GoToStart->setEnabled(ActionEnabled(paGoToStart));
  Menu.GoToEnd->setEnabled(ActionEnabled(paGoToEnd));
  Menu.Close->setEnabled(open);
  Menu.Copy->setEnabled(open);
  Menu.MoveRename->setEnabled(open);
  Menu.Delete->setEnabled(open);
  Menu.PlayPause->setEnabled(open);
  Menu.CurrentFrameInfo->setEnabled(pictures);
  Menu.FrameRate->setEnabled(ActionEnabled(paFileInfo) && pictures);
  Menu.SaveScreenshot->setEnabled(open && pictures);
  Menu.QuickScreenshot->setEnabled(open && pictures);
}

void TfrmPlayer::CloseFile() {
  if (Player != nullptr) Player->CloseFile();
  SetMainCaption("");
  UpdateMenuState();
}

void TfrmPlayer::AddToHistory(const std::string& path) {
  if (RecentFiles != nullptr) RecentFiles->Add(path);
  if (RecentFolders != nullptr) RecentFolders->Add(ExtractFilePath(path));
}

bool TfrmPlayer::OpenInPlayer(const std::string& fileName) {
  // A drop, a recent-list click or the command line can arrive while an open lets pending
  // messages run: the running open goes on and no second one starts.
  if (Player == nullptr || closing_ || done_ || fileName.empty()) return false;
  bool opened = false;
  {
    const ReentryGuard entry(opening_);
    if (!entry) return false;
    opened = Player->OpenFile(fileName);
  }
  if (!opened && Player != nullptr && !Player->IsOpening()) ReportFailedOpen(fileName);
  return opened;
}

void TfrmPlayer::ReportFailedOpen(const std::string& fileName) {
  const std::string text =
      Player->ErrorText.empty() ? "File \"" + fileName + "\" could not be opened." : Player->ErrorText;
  if (!CloseFlag) {
    ShowError(text);
    return;
  }
  // Nobody is there to answer a box, and no playback will ever end to close the window.
  std::string line;
  for (char c : text) line += c == '\r' ? ' ' : c;
  std::fprintf(stderr, "tavelo: %s\n", line.c_str());
  ExitStatus = 1;
  QTimer::singleShot(0, this, [this] { close(); });
}

void TfrmPlayer::OnFileOpened() {
  if (Player == nullptr) return;
  QMedPlayerStatus status;
  Player->GetStatus(status);
  if (status.FileOpen != 0) AddToHistory(status.Description.FileName);
  UpdateMenuState();
  const double rate = status.Description.Video.FrameRate;
  // A single picture has no frame rate to ask for: only media with two or more frames ask.
  if (status.FileOpen != 0 && Settings.ShowFrameRateDialog && status.Description.Video.Frames >= 2 &&
      (FltSame(rate, 0.0) || rate > 60.0))
    AskFrameRate();
  SetMainCaption(status.FileOpen != 0 ? posix::NameOf(status.Description.FileName) : std::string());
}

void TfrmPlayer::OpenRecentFile(int32_t index) {
  if (RecentFiles == nullptr) return;
  if (index == kHistoryClearTag) {
    if (AskQuestion("Clear the Recent Files list?", mbNo) == 0) RecentFiles->Clear();
    return;
  }
  std::string name;
  RecentFiles->GetItem(index, true, name);
  if (FileExists(name))
    OpenInPlayer(name);
  else
    ShowWarning("That file isn't available anymore.");
}

void TfrmPlayer::OpenRecentFolder(int32_t index) {
  if (RecentFolders == nullptr) return;
  if (index == kHistoryClearTag) {
    if (AskQuestion("Clear the Recent Folders list?", mbNo) == 0) RecentFolders->Clear();
    return;
  }
  std::string folder;
  RecentFolders->GetItem(index, true, folder);
  if (FolderExists(folder) && Player != nullptr) {
    Player->DefaultFolder = folder;
    RunAction(paOpenFile);
  } else {
    ShowWarning("That folder can't be found anymore.");
  }
}

void TfrmPlayer::SaveScreenshot(bool withDialog) {
  if (Player == nullptr || !Player->IsFileOpen() || Player->GetEngine() == nullptr) return;
  // The picture and its frame number are taken together, before any dialog: while a movie plays
  // the video thread rewrites the engine's picture, and the name must be the saved frame's.
  Qimg picture;
  int32_t frame = 0;
  if (!Player->GetEngine()->CopyPicture(picture, frame)) return;
  struct FreePicture {
    Qimg& p;
    ~FreePicture() { ImgFree(p); }
  } freePicture{picture};
  const std::string fileName = OpenFileName();

  std::string folder = Settings.ScreenshotFolder;
  if (!FolderExists(folder)) {
    folder = ExtractFilePath(fileName);
    withDialog = true;
  }
  const std::string name = ScreenshotName(fileName, frame, Settings.ScreenshotExt);

  std::string path;
  if (withDialog) {
    std::string filter;
    FFMakeSaveFilter(1, ffoDescription | ffoShowExts, filter);
    ExecSaveDialog("Save Image", &folder, name, path, &ScreenshotFilterIndex, filter);
    if (path.empty()) return;
  } else {
    path = AddBackslash(folder) + name;
  }
  std::string dir, base, ext;
  SplitFileName(path, dir, base, ext);
  if (ext.empty()) {
    path += ".jpg";
    ext = ".jpg";
  }
  if (FileExists(path) && AskQuestion("File \"" + path + "\" already exists. Overwrite?", mbNo) != 0) return;

  SetCursorWait();
  const int32_t failed = MonitoredNoRaise([&] { ImgSave(path, picture); });
  SetCursorArrow();
  // Only a saved screenshot sets where and how the next quick one is saved: a folder or an
  // extension that failed would make every later quick screenshot fail the same way.
  if (failed != 0) {
    ShowError("The screenshot could not be saved as \"" + path + "\":\r\n" + GetErrorMessage());
    ClearError();
    return;
  }
  Settings.ScreenshotFolder = dir;
  Settings.ScreenshotExt = ext;
}

void TfrmPlayer::CopyOrMoveFile(bool copy) {
  if (Player == nullptr || !Player->IsFileOpen()) return;
  const std::string source = OpenFileName();
  std::string dir, name, ext;
  SplitFileName(source, dir, name, ext);
  const std::string pattern = "*" + LowerAscii(ext);
  const std::string filter = pattern + "|" + pattern;
  std::string folder = Settings.CopyOrMoveFolder;
  std::string target;
  ExecSaveDialog(copy ? "Copy To" : "Move/Rename To", &folder, name + ext, target, nullptr, filter);
  if (target.empty()) return;
  Settings.CopyOrMoveFolder = folder;
  CloseFile();
  // Only a file that reached its target goes on the recent lists.
  if (ShellCopyMove(source, target, copy)) AddToHistory(platform::CopyMoveTarget(source, target));
}

void TfrmPlayer::DeleteFileToRecycleBin() {
  if (Player == nullptr || !Player->IsFileOpen()) return;
  const std::string path = OpenFileName();
  if (AskQuestion("Are you sure you want to delete \"" + posix::NameOf(path) + "\"?", mbNo) != 0) return;
  CloseFile();
  ShellRecycle(path);
}

void TfrmPlayer::ShowCurrentFrameInfo() {
  if (Player == nullptr || !Player->IsFileOpen()) {
    ShowInfo("You need to open a file first.");
    return;
  }
  QMedPlayerStatus status;
  Player->GetStatus(status);
  const UniInfoRec& d = status.Description;
  if (d.Video.Frames < 1) {
    ShowInfo("This file contains no video");
    return;
  }
  std::string file;
  // The format layer counts a sequence's members from 1.
  UniGetFileName(d, status.CurrentFrame + 1, file);
  const int32_t position = d.Kind == ukSequence ? 1 : status.CurrentFrame + 1;
  const double rate = Player->GetFrameRate();
  const double time = rate > 0 ? position / rate : 0.0;
  TFileDetails details;
  GetFileDetails(file, details);
  const std::string crlf = "\r\n";
  ShowInfo("Current Frame Info:" + crlf + crlf + "Input file:  \"" + file + "\"" + crlf +
           "Frame position (1-based):  " + IntToStrW(static_cast<uint32_t>(position), 100) + crlf +
           "Time position:  " + DurationText(dtHours | dtMinutes | dtSeconds | dtMillis, time) + crlf + crlf +
           "File size:  " + FloatToStrW(static_cast<double>(details.Size), 100, 0) + " bytes" + crlf +
           "Last modification date:  " + DateToText(details.WriteTime) + crlf);
}

void TfrmPlayer::AskFrameRate() {
  if (Player == nullptr || !Player->IsFileOpen()) return;
  QMedPlayerStatus status;
  Player->GetStatus(status);
  if (status.Description.Video.Frames < 1) return;
  double rate = status.Description.Video.FrameRate;
  if (rate < 0.01) rate = FltClamp(Player->GetDefaultFrameRate(), 0.01, 100.0);
  bool setAsDefault = false;
  bool showDialog = Settings.ShowFrameRateDialog;
  if (!DlgEditFrameRate(rate, setAsDefault, showDialog)) return;
  Settings.ShowFrameRateDialog = showDialog;
  if (Player == nullptr) return;
  Player->SetFrameRate(rate);
  if (setAsDefault) Player->SetDefaultFrameRate(rate);
}

void TfrmPlayer::ChangeVolume(int32_t delta) {
  if (Player != nullptr) Player->SetVolume(Player->GetVolume() + delta);
}

void TfrmPlayer::FitWindowToImage() {
  if (Player == nullptr) return;
  if (!Player->IsFileOpen()) {
    ShowIdlePicture();
    return;
  }
  const Qimg* picture = Player->CurrentPicture();
  if (picture != nullptr) Player->ResizeTo(picture->Width, picture->Height);
}

void TfrmPlayer::PlayPause() {
  if (Player == nullptr) return;
  RunAction(Player->IsPlaying() ? paPause : paPlay);
}

void TfrmPlayer::ToggleProgramLog() {
  if (Menu.CreateLog->isChecked()) {
    StartProgramLog();
    if (IsTracing())
      ShowInfo("Program execution file is in your Documents folder:\r\n" + ProgramLogPath());
    else
      ShowError("ERROR: Trace file could not be created.");
  } else {
    StopProgramLog();
  }
}

void TfrmPlayer::Convert() {
  if (AskQuestion("To convert a file to another format install Reelsmith.\r\nWould you like to read more about "
                  "Reelsmith?",
                  mbYes) == 0)
    ShellOpenWebUrl(kConverterUrl);
}

void TfrmPlayer::About() {
  ShowInfo(std::string(kProgramTitle) + "  (2009-05-21)\r\n\r\nTavelo is made by Velkarn, the makers of Reelsmith.");
}

void TfrmPlayer::QuickHelp() { ShellOpen(ProgramFolder + "doc/index.html"); }

}  // namespace tavelo
