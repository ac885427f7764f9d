// The main window with the real player control: start-up, idle steps, screenshots, file
// operations, drops and the menu's shortcuts. Every box and dialog is answered through the kit's
// answer seam; the settings store, the trash and the media live in the test's own folders.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMimeData>
#include <QElapsedTimer>
#include <QUrl>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/assoc_list.h"
#include "app/program.h"
#include "app/w_tavelo_input_fps.h"
#include "app/w_tavelo_main.h"
#include "core/services/basic.h"
#include "core/services/cmd_line.h"
#include "core/services/reg_utils.h"
#include "kit/history.h"
#include "kit/kit_answers.h"
#include "platform/dynlib/dynlib.h"
#include "platform/registry/registry.h"
#include "platform/shell/shell.h"
#include "player/med_player.h"
#include "player/player_action.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

namespace fs = std::filesystem;

// Runs the event loop until done() holds or ms have passed.
template <class Done>
bool WaitFor(Done&& done, int ms) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

struct Asked {
  KitAskKind kind;
  std::string caption, text, fileName, initialDir;
};

class MainWindowTest : public testing::Test {
 protected:
  void SetUp() override {
    // Every test brings the units up afresh (TearDown takes them down): the count starts over.
    ResetInitPartCount();
    platform::SetRegistryFolder(test::MakeTempDir("reg"));
    platform::SetLibraryFolder(TAVELO_CODEC_DIR);
    CmdLine_SetText("\"/usr/bin/tavelo\"");
    // No automatic update question unless a test wants one.
    SetNextUpdateDate(200000.0);
    SetKitAnswerProvider([this](const KitAsk& ask, KitAnswer& answer) {
      asked.push_back({ask.Kind, ask.Caption, ask.Text, ask.FileName, ask.InitialDir});
      if (ask.Kind == KitAskKind::Form) {
        if (auto* fps = dynamic_cast<TfrmFPS*>(ask.Form)) frameRateShown = fps->edFrameRate->text().toStdString();
        answer.Result = 0;  // closed without OK
        return true;
      }
      if (!answers.empty()) {
        answer = answers.front();
        answers.pop_front();
      } else {
        answer.Result = ask.Kind == KitAskKind::Message ? 1 : 0;  // No / Cancel
      }
      return true;
    });
  }
  void TearDown() override {
    delete form;
    SetKitAnswerProvider(nullptr);
    ProgramUnitsDone();
    platform::SetRegistryFolder("");
  }

  static void SetNextUpdateDate(double date) {
    TRegistry* reg = RegCreate(HKEY_CURRENT_USER);
    RegOpen(reg, kSettingsKey, true);
    RegWriteFloat(reg, "UpdateNextDate", date);
    RegFree(reg);
  }

  void Start() {
    ProgramUnitsInit();
    form = new TfrmPlayer;
  }

  // Runs the event loop until both idle steps have run.
  void RunIdle() {
    form->show();
    ASSERT_TRUE(WaitFor([this] { return form->IdleStep == 2; }, 10000));
  }

  std::vector<std::string> Messages() const {
    std::vector<std::string> texts;
    for (const Asked& a : asked)
      if (a.kind == KitAskKind::Message) texts.push_back(a.text);
    return texts;
  }

  // A copy of a generated medium in a fresh folder.
  std::string Media(const std::string& name, const std::string& as = "") {
    const std::string dir = test::MakeTempDir("media");
    const std::string target = dir + "/" + (as.empty() ? fs::path(name).filename().string() : as);
    fs::copy_file(test::MediaPath(name), target);
    return target;
  }

  void Open(const std::string& path) {
    ASSERT_TRUE(form->OpenInPlayer(path));
    ASSERT_TRUE(form->Player->IsFileOpen());
  }

  static KitAnswer Yes() {
    KitAnswer a;
    a.Result = 0;
    return a;
  }
  static KitAnswer SaveAs(const std::string& path) {
    KitAnswer a;
    a.Result = 1;
    a.FileName = path;
    return a;
  }

  TfrmPlayer* form = nullptr;
  std::vector<Asked> asked;
  std::string frameRateShown;
  std::deque<KitAnswer> answers;
};

TEST_F(MainWindowTest, CompleteStartShowsNoMessageAndSizesTheClientArea) {
  Start();
  EXPECT_EQ(form->InitRest, 0);
  RunIdle();
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(form->windowTitle().toStdString().rfind("Tavelo 3.1.0", 0), 0u);
  // Closing the absent file showed the built-in picture, and the window fitted itself to it.
  EXPECT_EQ(form->ClientWidth(), 440 + 4);
  EXPECT_EQ(form->ClientHeight(), 293 + form->Player->MinHeight + 4);
  form->ApplyInitialClientSize();
  EXPECT_EQ(form->ClientWidth(), form->Player->MinWidth);
  EXPECT_EQ(form->ClientHeight(), form->Player->MinWidth * 3 / 5 + form->Player->MinHeight);
}

TEST_F(MainWindowTest, AFreshProfilePlaysAudiblyAndItsDialogsStartAtHome) {
  Start();
  EXPECT_EQ(form->Player->GetVolume(), 50);
  const std::string home = std::string(std::getenv("HOME")) + "/";
  form->Menu.Open->setEnabled(true);
  form->Menu.Open->trigger();
  Open(Media("app/clip.v1.avi"));
  form->CopyOrMoveFile(true);
  std::vector<std::string> dialogs;
  for (const Asked& a : asked)
    if (a.kind != KitAskKind::Message && a.kind != KitAskKind::Form) dialogs.push_back(a.caption + " " + a.initialDir);
  EXPECT_EQ(dialogs, (std::vector<std::string>{"Open File " + home, "Copy To " + home}));
}

TEST_F(MainWindowTest, AMissingInitializationIsReported) {
  // Four of the five counted initializations.
  PngImageUnitInit();
  FFTablesUnitInit();
  ConformUnitInit();
  D3D8UnitInit();
  form = new TfrmPlayer;
  EXPECT_EQ(form->InitRest, -1);
  ASSERT_FALSE(Messages().empty());
  EXPECT_EQ(Messages().front(), "Initialization not complete (-1).");
  ConformUnitDone();
}

TEST_F(MainWindowTest, UpdateQuestionComesAtTheSecondIdleAfterTheCommandLineFile) {
  const std::string movie = Media("app/clip.v1.avi");
  CmdLine_SetText(CmdLine_BuildText({"/usr/bin/tavelo", "/open=" + movie}));
  SetNextUpdateDate(0.0);
  bool openWhenAsked = false;
  SetKitAnswerProvider([&](const KitAsk& ask, KitAnswer& answer) {
    asked.push_back({ask.Kind, ask.Caption, ask.Text, ask.FileName, ask.InitialDir});
    if (ask.Kind == KitAskKind::Form) {
      answer.Result = 0;
      return true;
    }
    if (ask.Text == "Would you like to check for updates?") openWhenAsked = form->Player->IsFileOpen();
    answer.Result = 1;
    return true;
  });
  Start();
  form->show();
  ASSERT_TRUE(WaitFor([this] { return form->IdleStep == 2; }, 10000));
  const auto texts = Messages();
  ASSERT_EQ(texts.size(), 1u) << testing::PrintToString(texts);
  EXPECT_EQ(texts[0], "Would you like to check for updates?");
  EXPECT_TRUE(openWhenAsked);
  EXPECT_EQ(form->windowTitle().toStdString(), "Tavelo 3.1.0 - clip.v1.avi");
}

TEST_F(MainWindowTest, MenuShortcutsComeFromThePlayersCommands) {
  Start();
  const std::pair<QAction*, const char*> expected[] = {
      {form->Menu.Open, "O"},          {form->Menu.PlayPause, "Space"},
      {form->Menu.Stop, "Backspace"},  {form->Menu.NextPicture, "Right"},
      {form->Menu.PreviousPicture, "Left"}, {form->Menu.FiveSecondsForward, "Ctrl+Right"},
      {form->Menu.FiveSecondsBackward, "Ctrl+Left"}, {form->Menu.FivePercentForward, "Ctrl+PgDown"},
      {form->Menu.FivePercentBackward, "Ctrl+PgUp"}, {form->Menu.GoToStart, "Home"},
      {form->Menu.GoToEnd, "End"},     {form->Menu.FileInfo, "F5"},
      {form->Menu.Options, "T"},       {form->Menu.QuickScreenshot, "F2"},
      {form->Menu.CurrentFrameInfo, "F6"}, {form->Menu.VolumeUp, "Up"},
      {form->Menu.VolumeDown, "Down"}, {form->Menu.QuickHelp, "F1"},
  };
  for (const auto& [item, key] : expected)
    EXPECT_EQ(item->shortcut().toString(QKeySequence::PortableText).toStdString(), key) << item->text().toStdString();
}

TEST_F(MainWindowTest, ScreenshotOfTheFirstFrameIsProposedByTheNameRule) {
  Start();
  const std::string movie = Media("app/clip.v1.avi");
  Open(movie);
  form->Settings.ScreenshotFolder = "/no/such/folder/";
  // A quick screenshot whose folder has vanished asks, in the movie's folder.
  form->SaveScreenshot(false);
  ASSERT_FALSE(asked.empty());
  EXPECT_EQ(asked.back().kind, KitAskKind::SaveDialog);
  EXPECT_EQ(asked.back().caption, "Save Image");
  EXPECT_EQ(asked.back().fileName, "clip_v1_00001.jpg");
  EXPECT_EQ(asked.back().initialDir, fs::path(movie).parent_path().string() + "/");
  EXPECT_EQ(form->Settings.ScreenshotFolder, "/no/such/folder/") << "a cancelled dialog stores nothing";
}

TEST_F(MainWindowTest, SavingAsPngMakesPngTheQuickScreenshotsExtension) {
  Start();
  Open(Media("app/clip.v1.avi"));
  const std::string shots = test::MakeTempDir("shots");
  answers.push_back(SaveAs(shots + "/first.png"));
  form->SaveScreenshot(true);
  ASSERT_TRUE(fs::exists(shots + "/first.png"));
  EXPECT_EQ(form->Settings.ScreenshotExt, ".png");
  EXPECT_EQ(fs::path(form->Settings.ScreenshotFolder).lexically_normal(), fs::path(shots + "/").lexically_normal());
  const size_t before = asked.size();
  form->SaveScreenshot(false);
  EXPECT_EQ(asked.size(), before) << "the quick screenshot asks nothing";
  EXPECT_TRUE(fs::exists(shots + "/clip_v1_00001.png"));
  // An existing file is only replaced after a Yes.
  form->SaveScreenshot(false);
  ASSERT_EQ(asked.size(), before + 1);
  EXPECT_EQ(asked.back().text, "File \"" + shots + "/clip_v1_00001.png\" already exists. Overwrite?");
}

TEST_F(MainWindowTest, AFailedScreenshotIsReportedAndStoresNothing) {
  Start();
  Open(Media("app/clip.v1.avi"));
  form->Settings.ScreenshotFolder = "";
  form->Settings.ScreenshotExt = "";
  const std::string shots = test::MakeTempDir("shots");
  answers.push_back(SaveAs(shots + "/shot.nosuchformat"));
  form->SaveScreenshot(true);
  const auto texts = Messages();
  ASSERT_EQ(texts.size(), 1u) << testing::PrintToString(texts);
  const std::string shown = "The screenshot could not be saved as \"" + shots + "/shot.nosuchformat\"";
  EXPECT_EQ(texts[0].rfind(shown, 0), 0u) << texts[0];
  EXPECT_EQ(form->Settings.ScreenshotFolder, "");
  EXPECT_EQ(form->Settings.ScreenshotExt, "");
  EXPECT_FALSE(fs::exists(shots + "/shot.nosuchformat"));
}

TEST_F(MainWindowTest, CopyClosesTheFileAndPutsTheCopyOnTopOfTheRecentLists) {
  Start();
  const std::string movie = Media("app/clip.v1.avi");
  Open(movie);
  const std::string target = test::MakeTempDir("copies") + "/copy.avi";
  answers.push_back(SaveAs(target));
  form->CopyOrMoveFile(true);
  EXPECT_EQ(asked.back().caption, "Copy To");
  EXPECT_FALSE(form->Player->IsFileOpen());
  EXPECT_TRUE(fs::exists(movie));
  EXPECT_TRUE(fs::exists(target));
  ASSERT_GE(form->RecentFiles->Count(), 2);
  EXPECT_EQ(form->RecentFiles->Items[0], target);
  EXPECT_EQ(form->RecentFiles->Items[1], movie);
  EXPECT_EQ(form->RecentFolders->Items[0], fs::path(target).parent_path().string() + "/");
  EXPECT_EQ(form->Settings.CopyOrMoveFolder, fs::path(target).parent_path().string() + "/");
}

TEST_F(MainWindowTest, DeleteSendsTheFileToTheTrash) {
  Start();
  const std::string movie = Media("app/clip.v1.avi");
  Open(movie);
  answers.push_back(Yes());
  form->DeleteFileToRecycleBin();
  EXPECT_EQ(Messages().back(), "Are you sure you want to delete \"clip.v1.avi\"?");
  EXPECT_FALSE(form->Player->IsFileOpen());
  EXPECT_FALSE(fs::exists(movie));
  const std::string trash = platform::HomeTrashFolder();
  EXPECT_TRUE(fs::exists(trash + "/files/clip.v1.avi"));
  const std::string info = test::ReadFile(trash + "/info/clip.v1.avi.trashinfo");
  EXPECT_EQ(info.rfind("[Trash Info]\nPath=" + platform::TrashEscapePath(movie) + "\nDeletionDate=", 0), 0u) << info;
}

TEST_F(MainWindowTest, DeleteAnsweredNoKeepsTheFileOpen) {
  Start();
  const std::string movie = Media("app/clip.v1.avi");
  Open(movie);
  form->DeleteFileToRecycleBin();
  EXPECT_TRUE(form->Player->IsFileOpen());
  EXPECT_TRUE(fs::exists(movie));
}

TEST_F(MainWindowTest, DropsOpenTheFirstFile) {
  Start();
  const std::string a = Media("app/clip.v1.avi", "a.avi"), b = Media("app/clip.v1.avi", "b.avi");
  const std::string folder = fs::path(a).parent_path().string();
  struct Case {
    std::vector<std::string> names;
    std::string opened;
  } cases[] = {{{b, a, a}, "b.avi"}, {{folder}, ""}, {{folder, a}, "a.avi"}};
  for (const Case& c : cases) {
    form->CloseFile();
    QMimeData data;
    QList<QUrl> urls;
    for (const std::string& n : c.names) urls.push_back(QUrl::fromLocalFile(QString::fromStdString(n)));
    data.setUrls(urls);
    EXPECT_TRUE(form->AppMessage(&data));
    EXPECT_EQ(form->windowTitle().toStdString(), c.opened.empty() ? "Tavelo 3.1.0" : "Tavelo 3.1.0 - " + c.opened);
  }
}

TEST_F(MainWindowTest, EveryOpenPathReportsAFailedOpen) {
  const std::string broken = test::MakeTempDir("broken") + "/broken.png";
  test::WriteFile(broken, "not a picture");
  enum Path { kDrop, kRecent, kCommandLine, kCommandLineClose };
  for (Path path : {kDrop, kRecent, kCommandLine, kCommandLineClose}) {
    asked.clear();
    std::vector<std::string> args = {"/usr/bin/tavelo"};
    if (path == kCommandLine || path == kCommandLineClose) args.push_back("/open=" + broken);
    if (path == kCommandLineClose) args.push_back("/close");
    CmdLine_SetText(CmdLine_BuildText(args));
    // A fresh window each time; the units stay up (TearDown takes them down).
    Start();
    testing::internal::CaptureStderr();
    if (path == kDrop) {
      QMimeData data;
      data.setUrls({QUrl::fromLocalFile(QString::fromStdString(broken))});
      form->AppMessage(&data);
    } else if (path == kRecent) {
      form->RecentFiles->Add(broken);
      form->OpenRecentFile(0);
    } else {
      form->show();
      ASSERT_TRUE(WaitFor([this] { return form->IdleStep >= 1; }, 10000));
    }
    if (path == kCommandLineClose) {
      // Nobody answers a box: the reason goes to stderr, the window closes and the program ends
      // with status 1.
      EXPECT_TRUE(WaitFor([this] { return !form->isVisible(); }, 5000)) << "the window closes";
      const std::string err = testing::internal::GetCapturedStderr();
      EXPECT_TRUE(Messages().empty()) << testing::PrintToString(Messages());
      EXPECT_NE(err.find("File \"" + broken + "\" is not supported."), std::string::npos) << err;
      EXPECT_EQ(form->ExitStatus, 1);
    } else {
      testing::internal::GetCapturedStderr();
      ASSERT_NE(form->Player, nullptr);
      const std::string reason = form->Player->ErrorText;
      ASSERT_FALSE(reason.empty()) << path;
      EXPECT_EQ(Messages(), std::vector<std::string>{reason}) << path;
      EXPECT_EQ(form->ExitStatus, 0);
    }
    delete form;
    form = nullptr;
  }
}

TEST_F(MainWindowTest, RecentFileThatVanishedIsReported) {
  Start();
  const std::string movie = Media("app/clip.v1.avi");
  Open(movie);
  form->CloseFile();
  fs::remove(movie);
  form->OpenRecentFile(0);
  EXPECT_EQ(Messages().back(), "That file isn't available anymore.");
  form->OpenRecentFile(kHistoryClearTag);
  EXPECT_EQ(Messages().back(), "Clear the Recent Files list?");
  EXPECT_EQ(form->RecentFiles->Count(), 1) << "No keeps the list";
}

// A copy of the five-picture numbered sequence in a fresh folder; the name of its first member.
std::string Sequence() {
  const std::string dir = test::MakeTempDir("seq");
  for (int i = 1; i <= 5; ++i) {
    const std::string name = "img000" + std::to_string(i) + ".bmp";
    fs::copy_file(test::MediaPath("formats/seq/" + name), dir + "/" + name);
  }
  return dir + "/img0001.bmp";
}

TEST_F(MainWindowTest, OnlyMediaWithTwoOrMoreFramesAskForARate) {
  Start();
  form->Player->SetDefaultFrameRate(12.5);
  struct Case {
    std::string path, shown;
  } cases[] = {
      {Sequence(), "12.5"},              // frames without a rate
      {Media("app/still.bmp"), ""},      // a single picture has no rate to ask for
      {Media("app/clip.v1.avi"), ""},    // a movie with a rate of its own
  };
  for (const Case& c : cases) {
    frameRateShown.clear();
    Open(c.path);
    EXPECT_EQ(frameRateShown, c.shown) << c.path;
  }
}

TEST_F(MainWindowTest, CurrentFrameInfoNamesTheFileHoldingTheFrame) {
  Start();
  form->ShowCurrentFrameInfo();
  EXPECT_EQ(Messages().back(), "You need to open a file first.");
  const std::string movie = Media("app/clip.v1.avi"), first = Sequence();
  const std::string third = fs::path(first).parent_path().string() + "/img0003.bmp";
  struct Case {
    std::string open;
    int32_t frame;
    std::string file, position;
  } cases[] = {
      {movie, 2, movie, "3"},
      {first, 0, first, "1"},  // a sequence shows its member file and position 1
      {first, 2, third, "1"},
  };
  for (const Case& c : cases) {
    Open(c.open);
    form->Player->SetFrameRate(12.5);
    form->Player->SeekFrame(c.frame);
    form->ShowCurrentFrameInfo();
    const std::string text = Messages().back();
    EXPECT_EQ(text.rfind("Current Frame Info:\r\n\r\nInput file:  \"" + c.file + "\"\r\nFrame position (1-based):  " +
                             c.position + "\r\n",
                         0),
              0u)
        << text;
    const std::string size = FloatToStrW(static_cast<double>(fs::file_size(c.file)), 100, 0);
    EXPECT_NE(text.find("\r\n\r\nFile size:  " + size + " bytes\r\nLast modification date:  20"), std::string::npos)
        << text;
  }
}

TEST_F(MainWindowTest, VolumeStepsStayInRange) {
  Start();
  form->Player->SetVolume(95);
  form->Menu.VolumeUp->trigger();
  EXPECT_EQ(form->Player->GetVolume(), 100);
  form->Player->SetVolume(5);
  form->Menu.VolumeDown->trigger();
  EXPECT_EQ(form->Player->GetVolume(), 0);
}

TEST_F(MainWindowTest, SettingsSurviveARestart) {
  Start();
  const std::string movie = Media("app/clip.v1.avi");
  Open(movie);
  form->Settings.ScreenshotExt = ".bmp";
  form->Menu.PeriodicCheck->setChecked(false);
  form->close();
  delete form;
  form = new TfrmPlayer;
  EXPECT_EQ(form->Settings.ScreenshotExt, ".bmp");
  EXPECT_FALSE(form->Menu.PeriodicCheck->isChecked());
  ASSERT_EQ(form->RecentFiles->Count(), 1);
  EXPECT_EQ(form->RecentFiles->Items[0], movie);
}

TEST_F(MainWindowTest, CommandsAreRefusedWhileAFileOpens) {
  // A programme stream is scanned when it opens, and the scan's progress lets events in.
  const std::string movie = Media("codec_movies/dvd.vob");
  Start();
  RunIdle();
  asked.clear();
  const auto ownHandler = form->Player->OnOpening;
  bool reached = false;
  form->Player->OnOpening = [&](int32_t& answer) {
    if (ownHandler) ownHandler(answer);
    if (reached) return;
    reached = true;
    // Keys and menu items: Options (T), Open (O), the frame rate; and the player's own command.
    form->Menu.Options->trigger();
    form->Menu.Open->trigger();
    form->Menu.FrameRate->trigger();
    form->Menu.VolumeUp->trigger();
    form->Player->Action(paOptions)->Click();
  };
  const int32_t volume = form->Player->GetVolume();
  Open(movie);
  ASSERT_TRUE(reached) << "the open reported no progress";
  EXPECT_TRUE(asked.empty()) << asked.front().caption;
  EXPECT_EQ(form->Player->GetVolume(), volume);
  EXPECT_TRUE(form->Player->Action(paPlay)->Enabled());
}

// Every value the save writes fails from the k-th write on, as if the program were killed there.
TEST_F(MainWindowTest, AKillDuringTheSaveLeavesTheOldOrTheNewListsWhole) {
  Start();
  const auto lists = [] {
    QHistory files, folders;
    files.LoadFromRegistry(HKEY_CURRENT_USER, std::string(kSettingsKey) + "RecentFiles");
    folders.LoadFromRegistry(HKEY_CURRENT_USER, std::string(kSettingsKey) + "RecentFolders");
    std::vector<std::string> all = files.Items;
    all.push_back("|");
    all.insert(all.end(), folders.Items.begin(), folders.Items.end());
    return all;
  };
  for (const char* name : {"/m/a/1.avi", "/m/b/2.avi", "/m/c/3.avi"}) form->AddToHistory(name);
  form->SaveSettings();
  const auto before = lists();
  const std::string store = platform::RegistryFile(HKEY_CURRENT_USER), kept = store + ".before";
  fs::copy_file(store, kept);
  for (const char* name : {"/m/d/4.avi", "/m/a/5.avi"}) form->AddToHistory(name);
  form->Settings.ScreenshotExt = ".png";
  std::vector<std::string> after;
  bool completed = false;
  for (int k = 1; k <= 64 && !completed; ++k) {
    fs::copy_file(kept, store, fs::copy_options::overwrite_existing);
    platform::SetRegistryFolder(platform::RegistryFolder());  // read the file again
    int writes = 0;
    platform::SetRegistryWriteHook([&] { return ++writes < k; });
    form->SaveSettings();
    platform::SetRegistryWriteHook(nullptr);
    completed = writes < k;
    const auto now = lists();
    if (completed) after = now;
    EXPECT_TRUE(now == before || completed) << "killed at write " << k << ": " << testing::PrintToString(now);
  }
  ASSERT_TRUE(completed);
  EXPECT_EQ(after.size(), before.size() + 3);
  EXPECT_EQ(after.front(), "/m/a/5.avi");
}

TEST_F(MainWindowTest, ADamagedSettingsFileIsReportedOnceWithWhereItWasKept) {
  const std::string store = platform::RegistryFile(HKEY_CURRENT_USER);
  std::ofstream(store, std::ios::binary | std::ios::trunc) << "TAVELO-REGISTRY 2\nK 0\nV \"torn";
  Start();
  RunIdle();
  std::string keptAs;
  for (const auto& entry : fs::directory_iterator(fs::path(store).parent_path()))
    if (entry.path().filename().string().rfind("user.reg.damaged-", 0) == 0) keptAs = entry.path().string();
  ASSERT_FALSE(keptAs.empty());
  const auto damaged = [this] {
    std::vector<std::string> texts;
    for (const std::string& text : Messages())
      if (text.find("damaged") != std::string::npos) texts.push_back(text);
    return texts;
  };
  ASSERT_EQ(damaged().size(), 1u) << testing::PrintToString(Messages());
  EXPECT_NE(damaged()[0].find(keptAs), std::string::npos) << damaged()[0];
  // The next start finds good settings and says nothing of them.
  form->close();
  delete form;
  asked.clear();
  form = new TfrmPlayer;
  RunIdle();
  EXPECT_TRUE(damaged().empty()) << testing::PrintToString(Messages());
}

TEST_F(MainWindowTest, UninstallSwitchRestoresAssociationsAndShowsNoWindow) {
  RegSetUserProgID(".avi", kVideoClipProgID);
  RegSetStr(HKEY_CURRENT_USER, kAssocBackupKey, ".avi", "Other.Player");
  RegSetUserProgID(".wav", "Someone.Else");
  std::string argv0 = "tavelo", sw = "/uninst";
  char* argv[] = {argv0.data(), sw.data(), nullptr};
  EXPECT_EQ(TaveloMain(2, argv), 0);
  EXPECT_TRUE(QApplication::topLevelWidgets().isEmpty());
  EXPECT_EQ(RegGetUserProgID(".avi"), "Other.Player");
  EXPECT_EQ(RegGetUserProgID(".wav"), "Someone.Else");
}

}  // namespace
}  // namespace tavelo
