// The main window's menu and the texts it builds: the caption and the screenshot names.
#include <QAction>
#include <QKeySequence>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

#include "app/w_tavelo_main.h"
#include "core/services/basic.h"
#include "core/services/path_utils.h"

namespace tavelo {

namespace {

QAction* AddItem(::QMenu* menu, const char* caption, const QKeySequence& shortcut = QKeySequence()) {
  QAction* a = menu->addAction(QString::fromUtf8(caption));
  if (!shortcut.isEmpty()) a->setShortcut(shortcut);
  return a;
}

}  // namespace

const char* const kMakerSite = "https://www.velkarn.com";
const char* const kFaqUrl = "https://www.velkarn.com/tavelo/faq.html";
const char* const kHomePageUrl = "https://www.velkarn.com/tavelo/";
const char* const kConverterUrl = "https://www.velkarn.com/reelsmith/";

std::string MainCaption(const std::string& name) {
  return name.empty() ? std::string(kProgramTitle) : std::string(kProgramTitle) + " - " + name;
}

void BuildTaveloMenu(QMainWindow* form, TaveloMenu& m) {
  QMenuBar* bar = form->menuBar();
  m.File = bar->addMenu("&File");
  m.Open = AddItem(m.File, "Open...", QKeySequence(Qt::Key_O));
  m.RecentFiles = m.File->addMenu("Recent Files");
  m.RecentFolders = m.File->addMenu("Recent Folders");
  m.File->addSeparator();
  m.Convert = AddItem(m.File, "Convert...");
  m.Close = AddItem(m.File, "Close");
  m.File->addSeparator();
  m.SaveScreenshot = AddItem(m.File, "Save Screenshot...");
  m.QuickScreenshot = AddItem(m.File, "Quick Screenshot", QKeySequence(Qt::Key_F2));
  m.File->addSeparator();
  m.FileInfo = AddItem(m.File, "File Info...", QKeySequence(Qt::Key_F5));
  m.CurrentFrameInfo = AddItem(m.File, "Current Frame Info...", QKeySequence(Qt::Key_F6));
  m.FrameRate = AddItem(m.File, "Frame Rate...");
  m.File->addSeparator();
  m.Copy = AddItem(m.File, "Copy...");
  m.MoveRename = AddItem(m.File, "Move / Rename...");
  m.Delete = AddItem(m.File, "Delete (to Recycle Bin)...");
  m.File->addSeparator();
  m.Exit = AddItem(m.File, "Exit");

  m.Navigate = bar->addMenu("&Navigate");
  m.PlayPause = AddItem(m.Navigate, "Play/Pause", QKeySequence(Qt::Key_Space));
  m.Stop = AddItem(m.Navigate, "Stop", QKeySequence(Qt::Key_Backspace));
  m.Navigate->addSeparator();
  m.NextPicture = AddItem(m.Navigate, "Next Picture", QKeySequence(Qt::Key_Right));
  m.PreviousPicture = AddItem(m.Navigate, "Previous Picture", QKeySequence(Qt::Key_Left));
  m.Navigate->addSeparator();
  m.FiveSecondsForward = AddItem(m.Navigate, "5 Seconds Forward", QKeySequence(Qt::CTRL | Qt::Key_Right));
  m.FiveSecondsBackward = AddItem(m.Navigate, "5 Seconds Backward", QKeySequence(Qt::CTRL | Qt::Key_Left));
  m.FivePercentForward = AddItem(m.Navigate, "5% Forward", QKeySequence(Qt::CTRL | Qt::Key_PageDown));
  m.FivePercentBackward = AddItem(m.Navigate, "5% Backward", QKeySequence(Qt::CTRL | Qt::Key_PageUp));
  m.GoToStart = AddItem(m.Navigate, "Go to Start", QKeySequence(Qt::Key_Home));
  m.GoToEnd = AddItem(m.Navigate, "Go to End", QKeySequence(Qt::Key_End));
  m.Navigate->addSeparator();
  m.VolumeUp = AddItem(m.Navigate, "Volume Up", QKeySequence(Qt::Key_Up));
  m.VolumeDown = AddItem(m.Navigate, "Volume Down", QKeySequence(Qt::Key_Down));

  m.View = bar->addMenu("View");
  m.FitWindow = AddItem(m.View, "Fit Window to Image");
  m.View->addSeparator();
  m.FileFormats = AddItem(m.View, "File Formats...");
  m.Options = AddItem(m.View, "Options...", QKeySequence(Qt::Key_T));

  m.Help = bar->addMenu("&Help");
  m.QuickHelp = AddItem(m.Help, "Quick Help", QKeySequence(Qt::Key_F1));
  m.Faq = AddItem(m.Help, "Frequently Asked Questions");
  m.HomePage = AddItem(m.Help, "Home Page");
  m.Help->addSeparator();
  m.CheckUpdates = AddItem(m.Help, "Check for Updates Now");
  m.PeriodicCheck = AddItem(m.Help, "Periodically Check for Updates");
  m.PeriodicCheck->setCheckable(true);
  m.PeriodicCheck->setChecked(true);
  m.Help->addSeparator();
  m.CreateLog = AddItem(m.Help, "Create Log File");
  m.CreateLog->setCheckable(true);
  m.Help->addSeparator();
  m.About = AddItem(m.Help, "About...");
}

std::string ScreenshotName(const std::string& fileName, int32_t frame, const std::string& ext) {
  std::string dir, name, fileExt;
  SplitFileName(fileName, dir, name, fileExt);
  std::string shot = name + "_" + IntToStrW(static_cast<uint32_t>(frame + 1), 205);
  for (char& c : shot)
    if (c == '.') c = '_';
  return shot + (ext.empty() ? std::string(".jpg") : ext);
}

}  // namespace tavelo
