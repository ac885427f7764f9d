#include "app/internet_update.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>

#include <QCoreApplication>

#include "core/services/win_utils.h"
#include "kit/kit_utils.h"
#include "platform/http/http_get.h"

namespace tavelo {

namespace {

// Our web server; the update file lies at its root.
constexpr const char* kUpdateServer = "https://www.tavelo.org";
constexpr const char* kUpdateFile = "/tavelo.update";
constexpr int32_t kReadTimeoutMs = 10000;
constexpr int32_t kMaxRedirects = 5;

std::string g_server;
int32_t g_readTimeoutMs = 0;
std::function<TDateTime()> g_clock;
// One check at a time in the whole program: the check lets the application process its messages,
// and a menu click may arrive meanwhile.
std::atomic<bool> g_busy{false};

TDateTime LocalNow() {
  if (g_clock) return g_clock();
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  TDateTime day = 0;
  TryEncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, day);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  const double seconds = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + ms / 1000.0;
  return day + seconds / 86400.0;
}

bool SameNameNoCase(const std::string& a, size_t aLen, const char* b) {
  size_t i = 0;
  for (; i < aLen && b[i] != 0; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return i == aLen && b[i] == 0;
}

// The value of the first line NAME=... of the reply (names compared without regard to case, as the
// name=value list does); '' when no line has that name. Lines end at CR LF, CR or LF.
std::string ValueOf(const std::string& reply, const char* name) {
  size_t start = 0;
  while (start < reply.size()) {
    size_t end = reply.find_first_of("\r\n", start);
    if (end == std::string::npos) end = reply.size();
    // The '=' is looked for within the line only: a reply of many lines stays one pass.
    const void* hit = std::memchr(reply.data() + start, '=', end - start);
    const size_t eq = hit != nullptr ? static_cast<size_t>(static_cast<const char*>(hit) - reply.data()) : end;
    if (eq < end) {
      const std::string line = reply.substr(start, end - start);
      if (SameNameNoCase(line, eq - start, name)) return reply.substr(eq + 1, end - eq - 1);
    }
    start = end;
    if (start < reply.size() && reply[start] == '\r') ++start;
    if (start < reply.size() && reply[start] == '\n') ++start;
  }
  return {};
}

}  // namespace

std::string UpdateFileURL() { return (g_server.empty() ? std::string(kUpdateServer) : g_server) + kUpdateFile; }

void SetUpdateServerForTest(const std::string& server) { g_server = server; }
void SetUpdateReadTimeoutForTest(int32_t milliseconds) { g_readTimeoutMs = milliseconds; }
void SetUpdateClockForTest(std::function<TDateTime()> now) { g_clock = std::move(now); }
bool UpdateCheckBusy() { return g_busy.load(); }

void QInternetUpdate::SetURL(const std::string& url) {
  URL = url;
  State = usNotRun;
}

bool QInternetUpdate::IsCheckDue() const { return LocalNow() >= NextDate; }

void QInternetUpdate::SetNextDate(double days) { NextDate = LocalNow() + days; }

std::string QInternetUpdate::DescriptionText() const {
  std::string text;
  for (size_t i = 0; i < Description.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += Description[i];
  }
  return text;
}

bool QInternetUpdate::Download() {
  platform::HttpGetOptions options;
  options.MaxRedirects = kMaxRedirects;
  options.ReadTimeoutMs = g_readTimeoutMs > 0 ? g_readTimeoutMs : kReadTimeoutMs;
  std::string error;
  return platform::HttpGet(URL, options, Reply, error);
}

void QInternetUpdate::ParseReply() {
  if (State == usNoUpdate || State == usUpdateFound) return;
  Reply.clear();
  State = Download() ? usNoUpdate : usDownloadFailed;
  if (State == usNoUpdate) ReadReplyValues();
}

void QInternetUpdate::ReadReplyValues() {
  UpdateName = ValueOf(Reply, "UPDATE_NAME");
  UpdateVer = ValueOf(Reply, "UPDATE_VER");
  UpdateDate = ValueOf(Reply, "UPDATE_DATE");
  ReadDescription();
  WhatsNewURL = ValueOf(Reply, "UPDATE_WHATSNEW_URL");
  UpdateURL = ValueOf(Reply, "UPDATE_URL");
}

void QInternetUpdate::ReadDescription() {
  static const std::string key = "UPDATE_DESC=";
  Description.clear();
  size_t pos = 0;  // 0-based scan position
  for (;;) {
    const size_t hit = Reply.find(key, pos);
    if (hit == std::string::npos) break;
    const size_t valueStart = hit + key.size();
    const size_t crlf = Reply.find("\r\n", valueStart);
    if (crlf == std::string::npos) break;
    pos = crlf + 2;
    // Only lines that end, with their CR LF, within the first 98 characters are shown: the
    // 1-based scan position must stay below 100.
    if (pos + 1 >= 100) break;
    Description.push_back(TrimBlanks(Reply.substr(valueStart, crlf - valueStart)));
  }
}

std::string UpdateFoundText(const QInternetUpdate& u) {
  return "An update is available: \r\n\r\n" + u.UpdateName + " " + u.UpdateVer + " released on " + u.UpdateDate +
         "\r\n" + u.DescriptionText() + "\r\n\r\nJump to download page?\r\n";
}

void QInternetUpdate::Check() {
  bool expected = false;
  if (!g_busy.compare_exchange_strong(expected, true)) return;
  try {
    ParseReply();
    if (State == usNoUpdate || State == usUpdateFound) {
      const TDateTime release = TextToDate(UpdateDate, 0);
      if (release > OwnDate && !UpdateURL.empty()) State = usUpdateFound;
    }
    NextDate = LocalNow() + Interval;
  } catch (...) {
    State = usCheckError;
  }
  g_busy.store(false);
}

void CheckForUpdates(QInternetUpdate& update, const UpdateInfoBox& infoBox) {
  auto info = [&](const char* text) {
    if (infoBox) infoBox(text);
  };
  update.SetURL(UpdateFileURL());
  TDateTime own = 0;
  TryEncodeDate(2009, 5, 21, own);
  update.OwnDate = own;
  update.Interval = 15.0;
  info("Checking for updates...");
  QCoreApplication::processEvents();
  update.Check();
  switch (update.State) {
    case usDownloadFailed:
      info("Internet error");
      ShowError("Error checking for updates. Please make sure that your internet connection is working properly.");
      break;
    case usCheckError:
      info("Error");
      ShowError("General error while checking for updates.");
      break;
    case usNoUpdate:
      info("No new updates");
      ShowInfo("You're using the latest version of Tavelo.");
      break;
    case usUpdateFound:
      info("Update found");
      // The address came from the server: only http and https pages are opened.
      if (AskQuestion(UpdateFoundText(update), mbYes) == 0) ShellOpenWebUrl(update.UpdateURL);
      break;
    default:
      break;  // another check is running
  }
}

void AutoUpdatePrompt(QInternetUpdate& update, bool updateRemind, const UpdateInfoBox& infoBox) {
  // Help > Periodically Check for Updates off means no automatic question.
  if (!updateRemind || !update.IsCheckDue()) return;
  if (AskQuestion("Would you like to check for updates?", mbYes) == 0) CheckForUpdates(update, infoBox);
}

}  // namespace tavelo
