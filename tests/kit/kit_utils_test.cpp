#include "kit/kit_utils.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <climits>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/services/path_utils.h"
#include "kit/kit_answers.h"
#include "platform/msgbox/msgbox.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

// Records every question and answers it with the function given.
class Asked : public testing::Test {
 protected:
  void TearDown() override {
    SetKitAnswerProvider({});
    KitDone();
  }
  void Answer(std::function<void(const KitAsk&, KitAnswer&)> f) {
    SetKitAnswerProvider([this, f](const KitAsk& ask, KitAnswer& answer) {
      asks.push_back(ask);
      f(ask, answer);
      return true;
    });
  }
  std::vector<KitAsk> asks;
};

// ---- Filters and names.

TEST(FilterExt, PairByIndex) {
  const std::string text = "Text Files (*.txt)|*.txt";
  const std::string two = "JPEG|*.jpg;*.jpeg|PNG|*.png";
  struct Case {
    const std::string& filter;
    int32_t index;
    const char* ext;
  } cases[] = {
      {text, 1, "txt"},  {text, 0, "txt"},  {text, -5, "txt"}, {text, 2, ""},        {two, 1, "jpg"},
      {two, 2, "png"},   {two, 3, ""},      {two, INT_MAX, ""}, {two, INT_MIN, "jpg"}, {text, INT_MAX, ""},
  };
  for (const Case& c : cases) {
    std::string ext = "stale";
    GetFilterExt(c.filter, c.index, ext);
    EXPECT_EQ(ext, c.ext) << c.filter << " #" << c.index;
  }
}

TEST(FilterExt, PatternLists) {
  struct Case {
    const char* filter;
    const char* ext;
  } cases[] = {
      {"TIFF| *.tif;*.tiff ", "tif"}, {"Targa| *.tga ", "tga"}, {"All|*.*", ""},          {"Raw|data", ""},       {"Mixed|*.jpg,*.jpe", "jpg"},
      {"Empty|", ""},                 {"", ""},                 {"No pattern", ""},     {"Two dots|*.tar.gz", "tar.gz"},
  };
  for (const Case& c : cases) {
    std::string ext = "stale";
    GetFilterExt(c.filter, 1, ext);
    EXPECT_EQ(ext, c.ext) << c.filter;
  }
}

TEST(FilterExt, ExtensionRule) {
  const std::string filter = "JPEG|*.jpg|PNG|*.png|Any|*.*";
  struct Case {
    const char* name;
    int32_t index;
    bool force;
    const char* result;
  } cases[] = {
      {"shot", 2, false, "shot.png"},
      {"shot.jpg", 2, false, "shot.jpg"},
      {"shot.jpg", 1, false, "shot.jpg"},
      {"shot.v-2", 2, false, "shot.png"},
      {"my_movie", 2, false, "my_movie.png"},
      {"clip.a_b", 1, false, "clip.jpg"},
      {"/home/u/my.folder/shot", 2, false, "/home/u/my.folder/shot.png"},
      {"/home/u/my.folder/shot.jpg", 2, true, "/home/u/my.folder/shot.png"},
      {"shot.v-2", 3, false, "shot"},
      {"shot", 3, false, "shot"},
  };
  for (const Case& c : cases) {
    std::string result;
    ApplyFilterExt(c.name, filter, c.index, result, c.force);
    EXPECT_EQ(result, c.result) << c.name << " #" << c.index;
  }
}

TEST(InitialFolder, NearestExistingParentElseTheHomeFolder) {
  const std::string dir = test::MakeTempDir("initial");
  test::WriteFile(dir + "/file.txt", "x");
  const std::string home = std::getenv("HOME");  // the test process's private home
  struct Case {
    std::string folder;
    std::string result;
  } cases[] = {
      {dir, dir},
      {"  " + dir + "  ", dir},
      {dir + "/gone/deeper", dir + "/"},
      {dir + "/gone/", dir + "/"},
      {dir + "/file.txt", dir + "/"},
      {"/no-such-top/a/b", home + "/"},
      {"", home + "/"},
      {"   ", home + "/"},
      {"/", "/"},
      {"relative/missing", home + "/"},
  };
  for (const Case& c : cases) {
    std::string result = "stale";
    GetInitialFolder(c.folder, result);
    EXPECT_EQ(result, c.result) << '"' << c.folder << '"';
  }
}

// ---- Open and save dialogs.

TEST_F(Asked, OpenReturnsThePickedNameUnchanged) {
  const std::string dir = test::MakeTempDir("open");
  std::string answerName;
  Answer([&](const KitAsk&, KitAnswer& a) {
    a.Result = 1;
    a.FileName = answerName;
    a.FilterIndex = 2;
  });
  const std::string filter = "Targa|*.tga|Movies|*.zmv;*.avi";
  for (const std::string picked : {"/media/movie", "/media/clip.a_b", "/media/shot.v-2", "/media/a.TGA"}) {
    answerName = picked;
    std::string folder = dir + "/missing";
    int32_t index = 1;
    std::string fileName = "stale";
    ExecOpenDialog("Open a file", &folder, filter, fileName, &index);
    EXPECT_EQ(fileName, picked);
    EXPECT_EQ(folder, "/media/");
    EXPECT_EQ(index, 2);
  }
  const KitAsk& ask = asks.front();
  EXPECT_EQ(ask.Kind, KitAskKind::OpenDialog);
  EXPECT_EQ(ask.Caption, "Open a file");
  EXPECT_EQ(ask.Filter, filter);
  EXPECT_EQ(ask.FilterIndex, 1);
  EXPECT_EQ(ask.InitialDir, dir + "/") << "the missing folder's nearest parent";
  EXPECT_EQ(ask.FileName, "");
  EXPECT_EQ(ask.Flags, 780u);
}

TEST_F(Asked, OpenCancelledOrWithoutPointers) {
  Answer([](const KitAsk&, KitAnswer& a) { a.Result = 0; });
  std::string folder = "/kept/", fileName = "stale";
  int32_t index = 3;
  ExecOpenDialog("t", &folder, "A|*.a", fileName, &index);
  EXPECT_EQ(fileName, "");
  EXPECT_EQ(folder, "/kept/");
  EXPECT_EQ(index, 3);
  EXPECT_EQ(asks.back().FilterIndex, 3);

  Answer([](const KitAsk&, KitAnswer& a) {
    a.Result = 1;
    a.FileName = "/x/y.a";
  });
  ExecOpenDialog("t", nullptr, "A|*.a", fileName, nullptr);
  EXPECT_EQ(fileName, "/x/y.a");
  EXPECT_EQ(asks.back().InitialDir, "") << "no folder pointer: no starting folder";
  EXPECT_EQ(asks.back().FilterIndex, 1);
}

TEST_F(Asked, SaveAppliesTheExtensionRule) {
  const std::string filter = "JPEG|*.jpg|PNG|*.png";
  struct Case {
    int result;
    const char* answer;
    int32_t chosen;
    const char* fileName;
    const char* folder;
    int32_t index;
  } cases[] = {
      {1, "/pics/shot", 2, "/pics/shot.png", "/pics/", 2},
      {1, "/pics/shot.jpg", 2, "/pics/shot.jpg", "/pics/", 2},
      {1, "/pics/shot.v-2", 1, "/pics/shot.jpg", "/pics/", 1},
      {1, "", 2, "", "/start/", 1},  // an empty name is no save (not ".png")
      {0, "/pics/shot", 2, "", "/start/", 1},
  };
  for (const Case& c : cases) {
    Answer([&](const KitAsk&, KitAnswer& a) {
      a.Result = c.result;
      a.FileName = c.answer;
      a.FilterIndex = c.chosen;
    });
    std::string folder = "/start/", fileName = "stale";
    int32_t index = 1;
    ExecSaveDialog("Save as", &folder, "initial", fileName, &index, filter);
    EXPECT_EQ(fileName, c.fileName) << c.answer;
    EXPECT_EQ(folder, c.folder) << c.answer;
    EXPECT_EQ(index, c.index) << c.answer;
  }
  const KitAsk& ask = asks.front();
  EXPECT_EQ(ask.Kind, KitAskKind::SaveDialog);
  EXPECT_EQ(ask.Caption, "Save as");
  EXPECT_EQ(ask.FileName, "initial");
  EXPECT_EQ(ask.Flags, 268u);
  EXPECT_EQ(ask.InitialDir, std::string(std::getenv("HOME")) + "/") << "/start does not exist";
}

// ---- Message boxes.

TEST_F(Asked, AskQuestionAnswers) {
  struct Case {
    int answer;
    uint8_t result;
  } cases[] = {{mbYes, 0}, {mbNo, 1}, {kMsgAnswerClose, 1}};
  for (const Case& c : cases) {
    Answer([&](const KitAsk&, KitAnswer& a) { a.Result = c.answer; });
    EXPECT_EQ(AskQuestion("Replace?", mbNo), c.result) << c.answer;
  }
  const KitAsk& ask = asks.back();
  EXPECT_EQ(ask.Icon, 32514);
  EXPECT_EQ(ask.Buttons, (std::vector<std::string>{"&Yes", "&No"}));
  EXPECT_EQ(ask.DefaultButton, mbNo);
  EXPECT_EQ(ask.Flags, 0u);

  SetKitAnswerProvider([](const KitAsk&, KitAnswer&) -> bool { throw std::runtime_error("broken box"); });
  EXPECT_EQ(AskQuestion("Replace?", mbYes), 3) << "a box that fails answers 3";
}

TEST_F(Asked, AskQuestionWithFlagAndAnswer) {
  Answer([](const KitAsk& ask, KitAnswer& a) {
    EXPECT_EQ(ask.Flags, unsigned(kMsgAskCheckBox));
    a.Checked = true;
    a.Result = mbNo;
  });
  TShowFlag flag = -1;
  uint8_t remembered = 0;
  EXPECT_EQ(AskQuestion("Again?", mbYes, &flag, &remembered), 1);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(remembered, 1);
  EXPECT_EQ(AskQuestion("Again?", mbYes, &flag, &remembered), 1);
  EXPECT_EQ(asks.size(), 1u) << "answered from memory";
}

TEST_F(Asked, InfoWarningAndErrorBoxes) {
  Answer([](const KitAsk&, KitAnswer& a) { a.Result = mbOK; });
  ShowInfo("info");
  ShowWarning("warning");
  ShowError("error");
  ASSERT_EQ(asks.size(), 3u);
  EXPECT_EQ(asks[0].Icon, 32516);
  EXPECT_EQ(asks[1].Icon, 32515);
  EXPECT_EQ(asks[2].Icon, 32513);
  for (const KitAsk& a : asks) {
    EXPECT_EQ(a.Buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(a.DefaultButton, mbOK);
    EXPECT_EQ(a.Flags, 0u) << "no flag, no check box";
  }

  // A show flag alone gets the check box; once ticked the box is not shown again.
  Answer([](const KitAsk& ask, KitAnswer& a) {
    EXPECT_EQ(ask.Flags, unsigned(kMsgAskCheckBox));
    a.Checked = true;
    a.Result = mbOK;
  });
  TShowFlag show = -1;
  ShowWarning("once", &show);
  EXPECT_EQ(show, 0);
  ShowWarning("once", &show);
  ShowInfo("once", &show);
  EXPECT_EQ(asks.size(), 4u);
}

TEST_F(Asked, ShowExceptionNamesThePlaceAndTheMessage) {
  Answer([](const KitAsk&, KitAnswer& a) { a.Result = mbOK; });
  try {
    throw std::runtime_error("disk on fire");
  } catch (...) {
    HandleException("Player.Save");
  }
  ASSERT_EQ(asks.size(), 1u);
  EXPECT_EQ(asks[0].Icon, 32513);
  EXPECT_EQ(asks[0].Text.rfind("[Player.Save]  ", 0), 0u) << asks[0].Text;
  EXPECT_NE(asks[0].Text.find("disk on fire"), std::string::npos) << asks[0].Text;
}

TEST_F(Asked, TheMessageSinkGoesThroughTheKitOnceInitialised) {
  Answer([](const KitAsk& ask, KitAnswer& a) { a.Result = ask.Text == "Replace?" ? mbNo : mbOK; });
  EXPECT_EQ(platform::ShowMessageBox(nullptr, "before", "Tavelo", platform::miError), 0);
  EXPECT_TRUE(asks.empty()) << "the standard-error sink until the kit is up";

  KitInit();
  platform::ShowMessageBox(nullptr, "Audio hardware problem. Please reinstall drivers.", "Tavelo", platform::miError);
  ASSERT_EQ(asks.size(), 1u);
  EXPECT_EQ(asks[0].Caption, "Tavelo");
  EXPECT_EQ(asks[0].Icon, 32513);
  EXPECT_EQ(asks[0].Text, "Audio hardware problem. Please reinstall drivers.");

  EXPECT_EQ(platform::ShowMessageBox(nullptr, "Replace?", "Confirm File Replace", platform::miQuestion), 1);
  EXPECT_EQ(asks.back().Caption, "Confirm File Replace");
  EXPECT_EQ(asks.back().Buttons, (std::vector<std::string>{"&Yes", "&No"}));
  Answer([](const KitAsk&, KitAnswer& a) { a.Result = mbYes; });
  EXPECT_EQ(platform::ShowMessageBox(nullptr, "Replace?", "Confirm File Replace", platform::miQuestion), 0);
  Answer([](const KitAsk&, KitAnswer& a) { a.Result = kMsgAnswerClose; });
  EXPECT_EQ(platform::ShowMessageBox(nullptr, "Replace?", "Confirm File Replace", platform::miQuestion), 1);

  // Off the main thread no box can be shown: a question is answered No, unasked.
  const size_t before = asks.size();
  int answer = -1;
  std::thread([&] { answer = platform::ShowMessageBox(nullptr, "Replace?", "t", platform::miQuestion); }).join();
  EXPECT_EQ(answer, 1);
  EXPECT_EQ(asks.size(), before);

  KitDone();
  platform::ShowMessageBox(nullptr, "after", "Tavelo", platform::miWarning);
  EXPECT_EQ(asks.size(), before);
}

// ---- Cursor, hints and numbers.

TEST(KitCursor, OneScreenCursor) {
  SetCursorWait();
  ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
  SetCursorArrow();
  EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::ArrowCursor);
  SetCursorWait();
  SetCursorDefault();
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "not a stack: one default undoes every change";

  QCursor::setPos(12, 34);
  QPoint p(-1, -1);
  GetCursorPosSafe(p);
  EXPECT_EQ(p, QCursor::pos());
}

TEST(KitControls, IntegersInControlTexts) {
  QLineEdit edit;
  struct Case {
    const char* text;
    int32_t value;
  } cases[] = {{"12 fps", 12}, {"", -7},  {"-", -7},           {"1-2", -7},
               {"-15", -15},   {"x9y8", 98}, {"99999999999", -7}, {"2147483647", INT_MAX}};
  for (const Case& c : cases) {
    edit.setText(c.text);
    EXPECT_EQ(GetControlInt(&edit, -7), c.value) << c.text;
  }
  SetControlInt(&edit, -300);
  EXPECT_EQ(edit.text(), "-300");

  QLabel label;
  SetControlInt(&label, 5);
  EXPECT_EQ(GetControlInt(&label, 0), 5);
  QComboBox combo;
  combo.setEditable(true);
  SetControlInt(&combo, 25);
  EXPECT_EQ(combo.currentText(), "25");
  EXPECT_EQ(GetControlInt(&combo, 0), 25);
  QPushButton button("3 times");
  EXPECT_EQ(GetControlInt(&button, 0), 3);
}

TEST(KitControls, FloatsInControlTexts) {
  QLineEdit edit;
  SetControlFloat(&edit, INT_MAX, 25.5);
  EXPECT_EQ(edit.text(), "25.5");
  SetControlFloat(&edit, INT_MAX, 1.0 / 3);
  EXPECT_EQ(edit.text(), "0.3333333333") << "the largest count of decimals means 10";
  SetControlFloat(&edit, 2, 1.0);
  EXPECT_EQ(edit.text(), "1");
  SetControlFloat(&edit, 3, 29.97);
  EXPECT_EQ(edit.text(), "29.97");
  struct Case {
    const char* text;
    double value;
  } cases[] = {{"23.976 fps", 23.976}, {"", -1.0}, {"-", -1.0}, {"1.2.3", -1.0}, {"-0.5", -0.5}};
  for (const Case& c : cases) {
    edit.setText(c.text);
    EXPECT_DOUBLE_EQ(GetControlFloat(&edit, -1.0), c.value) << c.text;
  }
}

TEST(KitControls, Hints) {
  QLineEdit edit;
  SetControlHint(&edit, "Frames per second");
  EXPECT_EQ(edit.toolTip(), "Frames per second");
  SetControlHint(&edit, "");
  EXPECT_TRUE(edit.toolTip().isEmpty());
}

}  // namespace
}  // namespace tavelo
