// The update check's two entry points with the kit's boxes answered through the answer seam:
// the exact texts per state, the download page opened only on Yes, and the automatic question
// only when a check is due and Periodically Check for Updates is on.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <thread>

#include "app/internet_update.h"
#include "kit/kit_answers.h"
#include "kit/msg_dlg.h"
#include "platform/shell/shell.h"
#include "tests/app/loopback_http.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

using test::HttpReply;
using test::LoopbackHttp;

struct Asked {
  int Icon;
  std::string Text;
};

class PromptTest : public testing::Test {
 protected:
  void SetUp() override {
    SetUpdateClockForTest([] { return 46000.5; });
    SetKitAnswerProvider([this](const KitAsk& ask, KitAnswer& a) {
      asked_.push_back({ask.Icon, ask.Text});
      a.Result = answer_;
      return true;
    });
  }
  void TearDown() override {
    SetKitAnswerProvider({});
    SetUpdateClockForTest(nullptr);
    SetUpdateServerForTest("");
    platform::SetDesktopOpener("");
  }

  void Check(QInternetUpdate& u) {
    CheckForUpdates(u, [this](const std::string& text) { info_.push_back(text); });
    WaitForCheck();
  }
  // The check runs on a worker; its result is shown from the event loop.
  static void WaitForCheck() {
    for (int i = 0; i < 3000 && UpdateCheckBusy(); ++i) {
      QCoreApplication::processEvents();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_FALSE(UpdateCheckBusy());
  }

  std::vector<Asked> asked_;
  std::vector<std::string> info_;
  int answer_ = mbNo;
};

// The description lines come first: only lines within the reply's first 98 characters count.
const std::string kNewer =
    "UPDATE_DESC=Faster start\r\nUPDATE_DESC= New formats \r\nUPDATE_NAME=Tavelo\r\nUPDATE_VER=3.2.0\r\n"
    "UPDATE_DATE=2010-02-03\r\nUPDATE_URL=https://www.tavelo.org/download.html\r\n";

TEST_F(PromptTest, EachStateShowsItsTexts) {
  struct Case {
    HttpReply reply;
    std::string info;
    TMsgDlgType type;
    std::string text;
  } cases[] = {
      {HttpReply(404, "no"), "Internet error", mtError,
       "Error checking for updates. Please make sure that your internet connection is working properly."},
      {HttpReply(200, "UPDATE_DATE=2009-05-21\r\nUPDATE_URL=http://dl/\r\n"), "No new updates", mtInformation,
       "You're using the latest version of Tavelo."},
      {HttpReply(200, kNewer), "Update found", mtConfirmation,
       "An update is available: \r\n\r\nTavelo 3.2.0 released on 2010-02-03\r\nFaster start\r\nNew formats\r\n\r\n"
       "Jump to download page?\r\n"},
  };
  for (const Case& c : cases) {
    asked_.clear();
    info_.clear();
    std::string path;
    LoopbackHttp server([&](const std::string& p) {
      path = p;
      return c.reply;
    });
    SetUpdateServerForTest(server.Url());
    QInternetUpdate u;
    Check(u);
    EXPECT_EQ(path, "/tavelo.update");
    EXPECT_EQ(info_, (std::vector<std::string>{"Checking for updates...", c.info}));
    ASSERT_EQ(asked_.size(), 1u) << c.info;
    EXPECT_EQ(asked_[0].Icon, MsgSystemIcon(c.type)) << c.info;
    EXPECT_EQ(asked_[0].Text, c.text);
    EXPECT_DOUBLE_EQ(u.OwnDate, 39954);  // 2009-05-21
    EXPECT_DOUBLE_EQ(u.NextDate, 46000.5 + 15);
  }
}

// The check runs off the main thread: the event loop keeps running (a timer fires) while the
// server is silent, a second start meanwhile is refused, and the answer comes when it ends.
TEST_F(PromptTest, TheEventLoopRunsDuringACheck) {
  LoopbackHttp server([](const std::string&) { return HttpReply(200, kNewer, "", 1500); });
  SetUpdateServerForTest(server.Url());
  QInternetUpdate u;
  CheckForUpdates(u, [this](const std::string& text) { info_.push_back(text); });
  EXPECT_TRUE(UpdateCheckBusy());
  EXPECT_EQ(info_, std::vector<std::string>{"Checking for updates..."});
  QInternetUpdate other;
  CheckForUpdates(other, [this](const std::string& text) { info_.push_back(text); });
  bool fired = false;
  bool busyWhenFired = false;
  QTimer::singleShot(50, [&] {
    fired = true;
    busyWhenFired = UpdateCheckBusy();
  });
  WaitForCheck();
  EXPECT_TRUE(fired);
  EXPECT_TRUE(busyWhenFired);
  EXPECT_EQ(info_, (std::vector<std::string>{"Checking for updates...", "Update found"}));
  ASSERT_EQ(asked_.size(), 1u);
  EXPECT_EQ(u.State, usUpdateFound);
  EXPECT_EQ(u.UpdateVer, "3.2.0");
  EXPECT_EQ(other.State, usNotRun);
  EXPECT_EQ(server.Requests(), 1);
}

// The owner may free its checker while a check runs: the check is stopped and its result never
// shown.
TEST_F(PromptTest, ACancelledCheckShowsNothing) {
  LoopbackHttp server([](const std::string&) { return HttpReply(200, kNewer, "", 5000); });
  SetUpdateServerForTest(server.Url());
  auto u = std::make_unique<QInternetUpdate>();
  CheckForUpdates(*u, [this](const std::string& text) { info_.push_back(text); });
  for (int i = 0; i < 500 && server.Requests() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  CancelUpdateCheck();
  u.reset();
  EXPECT_FALSE(UpdateCheckBusy());
  for (int i = 0; i < 20; ++i) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(info_, std::vector<std::string>{"Checking for updates..."});
  EXPECT_TRUE(asked_.empty());
}

TEST_F(PromptTest, AnExceptionIsAGeneralError) {
  SetUpdateClockForTest([]() -> TDateTime { throw std::runtime_error("clock"); });
  LoopbackHttp server([](const std::string&) { return HttpReply(200, kNewer); });
  SetUpdateServerForTest(server.Url());
  QInternetUpdate u;
  Check(u);
  EXPECT_EQ(info_.back(), "Error");
  ASSERT_EQ(asked_.size(), 1u);
  EXPECT_EQ(asked_[0].Icon, MsgSystemIcon(mtError));
  EXPECT_EQ(asked_[0].Text, "General error while checking for updates.");
}

// The desktop opener (xdg-open) replaced by a script that writes down what it was given.
std::string FakeOpener(const std::string& folder) {
  const std::string script = folder + "/opener";
  test::WriteFile(script, "#!/bin/sh\nprintf '%s' \"$1\" > '" + folder + "/opened.part'; mv '" + folder +
                              "/opened.part' '" + folder + "/opened'\n");
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  platform::SetDesktopOpener(script);
  return folder + "/opened";
}

TEST_F(PromptTest, YesOpensTheDownloadPage) {
  const std::string opened = FakeOpener(test::MakeTempDir("opener"));
  LoopbackHttp server([](const std::string&) { return HttpReply(200, kNewer); });
  SetUpdateServerForTest(server.Url());
  QInternetUpdate u;
  answer_ = mbNo;
  Check(u);
  answer_ = mbYes;
  Check(u);
  for (int i = 0; i < 500 && !std::filesystem::exists(opened); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(test::ReadFile(opened), "https://www.tavelo.org/download.html");
  EXPECT_EQ(server.Requests(), 2);
}

TEST_F(PromptTest, AutomaticQuestionOnlyWhenDueAndWanted) {
  LoopbackHttp server([](const std::string&) { return HttpReply(200, kNewer); });
  SetUpdateServerForTest(server.Url());
  auto none = [](const std::string&) {};
  QInternetUpdate u;  // NextDate 0: a fresh installation is due at once

  // Periodically Check for Updates off: no question at all.
  AutoUpdatePrompt(u, false, none);
  EXPECT_TRUE(asked_.empty());

  // Due and wanted: the question; No checks nothing and leaves NextDate.
  answer_ = mbNo;
  AutoUpdatePrompt(u, true, none);
  ASSERT_EQ(asked_.size(), 1u);
  EXPECT_EQ(asked_[0].Text, "Would you like to check for updates?");
  EXPECT_EQ(asked_[0].Icon, MsgSystemIcon(mtConfirmation));
  EXPECT_EQ(server.Requests(), 0);
  EXPECT_DOUBLE_EQ(u.NextDate, 0.0);

  // Yes runs the check (its question answered Yes too: the download page opens).
  const std::string opened = FakeOpener(test::MakeTempDir("opener"));
  answer_ = mbYes;
  AutoUpdatePrompt(u, true, none);
  WaitForCheck();
  for (int i = 0; i < 500 && !std::filesystem::exists(opened); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(test::ReadFile(opened), "https://www.tavelo.org/download.html");
  EXPECT_EQ(server.Requests(), 1);
  EXPECT_EQ(u.State, usUpdateFound);
  EXPECT_DOUBLE_EQ(u.NextDate, 46000.5 + 15);

  // Not due: no question.
  asked_.clear();
  AutoUpdatePrompt(u, true, none);
  EXPECT_TRUE(asked_.empty());
}

}  // namespace
}  // namespace tavelo
