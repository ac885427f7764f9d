// The update check against a loopback HTTP server: states, dates, the description's cut at
// character 98, failures, redirects, the busy flag and NextDate.
#include "app/internet_update.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/app/loopback_http.h"

namespace tavelo {
namespace {

using test::HttpReply;
using test::LoopbackHttp;

TDateTime Day(int y, int m, int d) {
  TDateTime t = 0;
  EXPECT_TRUE(TryEncodeDate(y, m, d, t));
  return t;
}

const TDateTime kNow = 46000.25;  // a fixed "now" for every test

class UpdateTest : public testing::Test {
 protected:
  void SetUp() override { SetUpdateClockForTest([] { return kNow; }); }
  void TearDown() override {
    SetUpdateClockForTest(nullptr);
    SetUpdateReadTimeoutForTest(0);
    SetUpdateServerForTest("");
  }

  // A checker as CheckForUpdates prepares it, pointed at url.
  static QInternetUpdate Checker(const std::string& url) {
    QInternetUpdate u;
    u.SetURL(url);
    u.OwnDate = Day(2009, 5, 21);
    u.Interval = 15.0;
    return u;
  }
};

std::string File(const std::string& date, const std::string& url) {
  return "UPDATE_NAME=Tavelo\r\nUPDATE_VER=3.2.0\r\nUPDATE_DATE=" + date +
         "\r\nUPDATE_DESC=Faster start\r\nUPDATE_DESC=  New formats  \r\nUPDATE_WHATSNEW_URL=http://w/new\r\n"
         "UPDATE_URL=" + url + "\r\n";
}

TEST_F(UpdateTest, StateFollowsTheReleaseDateAndTheDownloadPage) {
  struct Case {
    std::string body;
    uint8_t state;
  } cases[] = {
      {File("2009-05-21", "http://dl/"), usNoUpdate},    // the running release itself
      {File("2009-05-20", "http://dl/"), usNoUpdate},    // older
      {File("2009-05-22", ""), usNoUpdate},              // newer, but no download page
      {File("2009-05-22", "http://dl/"), usUpdateFound}, // newer with a download page
      {File("2009-5-22x", "http://dl/"), usNoUpdate},    // a date that does not read is 0
      {"Nothing we know\r\n", usNoUpdate},               // a reply without the names
  };
  for (const Case& c : cases) {
    LoopbackHttp server([&](const std::string& path) {
      EXPECT_EQ(path, "/tavelo.update");
      return HttpReply{200, c.body};
    });
    QInternetUpdate u = Checker(server.Url() + "/tavelo.update");
    u.Check();
    EXPECT_EQ(u.State, c.state) << c.body;
    EXPECT_EQ(u.Reply, c.body);
    EXPECT_DOUBLE_EQ(u.NextDate, kNow + 15.0);
  }
}

TEST_F(UpdateTest, ValuesComeFromTheFirstLineOfEachName) {
  LoopbackHttp server([](const std::string&) {
    return HttpReply{200, "update_name=First\r\nUPDATE_NAME=Second\r\nJUNK\r\nUPDATE_VER=3.2.0\nUPDATE_DATE=2010-01-02\r"
                          "UPDATE_URL=https://dl/x=1\r\nUPDATE_WHATSNEW_URL=http://w\r\n"};
  });
  QInternetUpdate u = Checker(server.Url() + "/f");
  u.Check();
  EXPECT_EQ(u.State, usUpdateFound);
  EXPECT_EQ(u.UpdateName, "First");  // names compare without regard to case
  EXPECT_EQ(u.UpdateVer, "3.2.0");
  EXPECT_EQ(u.UpdateDate, "2010-01-02");
  EXPECT_EQ(u.UpdateURL, "https://dl/x=1");  // the value runs past a second '='
  EXPECT_EQ(u.WhatsNewURL, "http://w");
}

TEST_F(UpdateTest, DescriptionShowsOnlyLinesWithinTheFirst98Characters) {
  QInternetUpdate u;
  // Each description line here is 20 characters with its CR LF: lines end at 20, 40, 60, 80, 100.
  const std::string line = "UPDATE_DESC=abcdef\r\n";
  ASSERT_EQ(line.size(), 20u);
  u.Reply = line + line + line + line + line;
  u.ReadDescription();
  EXPECT_EQ(u.Description.size(), 4u);  // the fifth ends at 100: dropped
  EXPECT_EQ(u.DescriptionText(), "abcdef\r\nabcdef\r\nabcdef\r\nabcdef");

  // A line whose CR LF is characters 97 and 98 is shown; one character more and it is not.
  const std::string pad(78, 'x');  // + 20 = 98
  u.Reply = pad + line;
  u.ReadDescription();
  EXPECT_EQ(u.Description, std::vector<std::string>{"abcdef"});
  u.Reply = pad + "y" + line;
  u.ReadDescription();
  EXPECT_TRUE(u.Description.empty());

  // A key without CR LF after it ends the scan; values are trimmed.
  u.Reply = "UPDATE_DESC=  one \t\r\nUPDATE_DESC=two";
  u.ReadDescription();
  EXPECT_EQ(u.Description, std::vector<std::string>{"one"});
}

TEST_F(UpdateTest, DescriptionPastCharacter100IsEmptyInAnUpdate) {
  const std::string body = "UPDATE_NAME=Tavelo\r\nUPDATE_VER=3.2.0\r\nUPDATE_DATE=2010-01-02\r\nUPDATE_URL=http://dl/\r\n" +
                           std::string(40, '#') + "\r\nUPDATE_DESC=too late\r\n";
  ASSERT_GT(body.find("UPDATE_DESC"), 100u);
  LoopbackHttp server([&](const std::string&) { return HttpReply{200, body}; });
  QInternetUpdate u = Checker(server.Url() + "/f");
  u.Check();
  EXPECT_EQ(u.State, usUpdateFound);
  EXPECT_TRUE(u.Description.empty());
}

TEST_F(UpdateTest, FailedDownloadsGiveState1) {
  SetUpdateReadTimeoutForTest(200);
  // The stalling server would send a valid newer release after 3 s: only the read time-out
  // turns it into a failure.
  const std::string newer = File("2010-01-01", "http://dl/");
  LoopbackHttp server([&](const std::string& path) {
    if (path == "/missing") return HttpReply{404, "gone"};
    return HttpReply{200, newer, "", 3000};
  });
  for (const std::string& url : {server.Url() + "/missing", server.Url() + "/stall",
                                  "http://127.0.0.1:" + std::to_string(test::RefusedPort()) + "/tavelo.update"}) {
    QInternetUpdate u = Checker(url);
    u.Check();
    EXPECT_EQ(u.State, usDownloadFailed) << url;
    EXPECT_TRUE(u.Reply.empty()) << url;
    EXPECT_DOUBLE_EQ(u.NextDate, kNow + 15.0) << url;
  }
}

// Each limit of the download, against a server that would otherwise deliver a newer release.
TEST_F(UpdateTest, DownloadLimitsEndOversizedAndTricklingReplies) {
  SetUpdateReadTimeoutForTest(300);
  const std::string newer = "UPDATE_DATE=2010-01-01\r\nUPDATE_URL=http://dl/\r\n";
  struct Case {
    const char* what;
    HttpReply reply;
    uint8_t state;
  } cases[] = {
      // Past 1 MiB the reply is refused, however valid it begins.
      {"1 MiB + 1", HttpReply(200, newer + std::string((1 << 20) - newer.size() + 1, ' ')), usDownloadFailed},
      {"1 MiB", HttpReply(200, newer + std::string((1 << 20) - newer.size(), ' ')), usUpdateFound},
      // A byte every 100 ms never trips the read time-out; the whole download is still bounded to
      // 3 s past it (this one would take 8 s).
      {"trickle", HttpReply(200, newer + std::string(80 - newer.size() % 80, ' '), "", 0, 100), usDownloadFailed},
  };
  ASSERT_LT(newer.size(), 80u);
  for (const Case& c : cases) {
    LoopbackHttp server([&](const std::string&) { return c.reply; });
    QInternetUpdate u = Checker(server.Url() + "/f");
    u.Check();
    EXPECT_EQ(u.State, c.state) << c.what;
  }
}

TEST_F(UpdateTest, ValuesAndTheQuestionAreBounded) {
  const std::string huge(100000, 'N');
  const std::string reply = "UPDATE_NAME=" + huge + "\r\nUPDATE_VER=" + huge + "\r\nUPDATE_DATE=2010-01-01" + huge +
                            "\r\nUPDATE_WHATSNEW_URL=http://w/" + huge + "\r\nUPDATE_URL=http://dl/\r\n";
  LoopbackHttp server([&](const std::string&) { return HttpReply{200, reply}; });
  QInternetUpdate u = Checker(server.Url() + "/f");
  u.Check();
  EXPECT_EQ(u.State, usUpdateFound);  // the date still reads
  EXPECT_EQ(u.UpdateName.size(), 100u);
  EXPECT_EQ(u.UpdateVer.size(), 100u);
  EXPECT_EQ(u.UpdateDate.substr(0, 10), "2010-01-01");
  EXPECT_EQ(u.UpdateDate.size(), 100u);
  EXPECT_TRUE(u.WhatsNewURL.empty());  // an address cut short would lead elsewhere
  EXPECT_LT(UpdateFoundText(u).size(), 500u);
  // A cut never splits a character.
  u.Reply = "UPDATE_NAME=" + std::string(99, 'a') + "\xc3\xa9\r\n";
  u.ReadReplyValues();
  EXPECT_EQ(u.UpdateName, std::string(99, 'a'));
}

// A download page the program would not open is no download page.
TEST_F(UpdateTest, OnlyAnOpenableDownloadPageIsAnUpdate) {
  struct Case {
    std::string url;
    uint8_t state;
  } cases[] = {
      {"https://www.tavelo.org/dl.html", usUpdateFound}, {"HTTP://dl/", usUpdateFound},
      {"javascript:alert(1)", usNoUpdate},               {"file:///etc/passwd", usNoUpdate},
      {"http://dl/a b", usNoUpdate},                      {"--help", usNoUpdate},
      {"http://", usNoUpdate},                            {"http://dl/" + std::string(3000, 'x'), usNoUpdate},
  };
  for (const Case& c : cases) {
    const std::string body = File("2010-01-01", c.url);
    LoopbackHttp server([&](const std::string&) { return HttpReply{200, body}; });
    QInternetUpdate u = Checker(server.Url() + "/f");
    u.Check();
    EXPECT_EQ(u.State, c.state) << c.url;
  }
}

TEST_F(UpdateTest, FollowsFiveRedirectsButNotSix) {
  const std::string body = File("2010-01-01", "http://dl/");
  LoopbackHttp server([&](const std::string& path) {
    // /r/N redirects N times before the file.
    const int n = std::stoi(path.substr(3));
    if (n == 0) return HttpReply{200, body};
    return HttpReply{302, "", "/r/" + std::to_string(n - 1)};
  });
  QInternetUpdate five = Checker(server.Url() + "/r/5");
  five.Check();
  EXPECT_EQ(five.State, usUpdateFound);
  QInternetUpdate six = Checker(server.Url() + "/r/6");
  six.Check();
  EXPECT_EQ(six.State, usDownloadFailed);
}

TEST_F(UpdateTest, NextDateMovesOnCompletedChecksOnly) {
  LoopbackHttp server([](const std::string&) { return HttpReply{200, "UPDATE_DATE=2001-01-01\r\n"}; });
  QInternetUpdate done = Checker(server.Url() + "/f");
  done.NextDate = 123;
  done.Check();
  EXPECT_EQ(done.State, usNoUpdate);
  EXPECT_DOUBLE_EQ(done.NextDate, kNow + 15.0);

  // An exception during the check (here from the clock) is state 2 and leaves NextDate.
  SetUpdateClockForTest([]() -> TDateTime { throw std::runtime_error("no clock"); });
  QInternetUpdate failed = Checker(server.Url() + "/f");
  failed.NextDate = 123;
  failed.Check();
  EXPECT_EQ(failed.State, usCheckError);
  EXPECT_DOUBLE_EQ(failed.NextDate, 123);
  EXPECT_FALSE(UpdateCheckBusy());  // and the busy flag is cleared
}

TEST_F(UpdateTest, BusyFlagRefusesANestedCheck) {
  QInternetUpdate nested = Checker("http://127.0.0.1:" + std::to_string(test::RefusedPort()) + "/x");
  bool busyInside = false;
  LoopbackHttp server([&](const std::string&) {
    busyInside = UpdateCheckBusy();
    nested.Check();  // while the first check waits for this reply
    return HttpReply{200, File("2001-01-01", "")};
  });
  QInternetUpdate outer = Checker(server.Url() + "/f");
  outer.Check();
  EXPECT_TRUE(busyInside);
  EXPECT_EQ(outer.State, usNoUpdate);
  EXPECT_EQ(nested.State, usNotRun);
  EXPECT_DOUBLE_EQ(nested.NextDate, 0.0);
  EXPECT_FALSE(UpdateCheckBusy());
}

TEST_F(UpdateTest, DueDatesAndTheFileAddress) {
  QInternetUpdate u;
  EXPECT_TRUE(u.IsCheckDue());  // a fresh installation asks at once
  u.SetNextDate(15);
  EXPECT_DOUBLE_EQ(u.NextDate, kNow + 15);
  EXPECT_FALSE(u.IsCheckDue());
  u.NextDate = kNow;
  EXPECT_TRUE(u.IsCheckDue());
  SetUpdateServerForTest("http://127.0.0.1:9");
  EXPECT_EQ(UpdateFileURL(), "http://127.0.0.1:9/tavelo.update");
  SetUpdateServerForTest("");
  EXPECT_EQ(UpdateFileURL().substr(0, 8), "https://");
}

}  // namespace
}  // namespace tavelo
