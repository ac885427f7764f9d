#include "app/internet_update.h"
#include "app/w_tavelo_main.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>

#include <QCoreApplication>

#include "core/services/win_utils.h"
#include "kit/kit_utils.h"
#include "platform/http/http_get.h"

namespace tavelo {

namespace {

constexpr const char* kUpdateFile = "/tavelo.update";
constexpr int32_t kReadTimeoutMs = 10000;
constexpr int32_t kMaxRedirects = 5;
// The whole download ends this long after the read time-out would have ended a silent one: a
// server that trickles a byte now and then cannot keep the check running.
constexpr int32_t kTotalSlackMs = 3000;
// The longest value kept from the reply. Shown values are cut there (a name of 100 KB must not
// make a question box wider than any screen); an address that long is no address.
constexpr size_t kMaxValueLength = 100;
constexpr size_t kMaxUrlLength = 2048;

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

// value cut to at most max bytes, never inside a UTF-8 sequence.
std::string Bounded(std::string value, size_t max) {
  if (value.size() <= max) return value;
  size_t end = max;
  while (end > 0 && (static_cast<unsigned char>(value[end]) & 0xC0) == 0x80) --end;
  value.resize(end);
  return value;
}

// An address longer than any page needs is dropped rather than cut (cut, it would lead elsewhere).
std::string BoundedUrl(std::string url) { return url.size() > kMaxUrlLength ? std::string() : url; }

}  // namespace

std::string UpdateFileURL() { return (g_server.empty() ? std::string(kMakerSite) : g_server) + kUpdateFile; }

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

bool QInternetUpdate::Download(const std::atomic<bool>* cancel) {
  platform::HttpGetOptions options;
  options.MaxRedirects = kMaxRedirects;
  options.ReadTimeoutMs = g_readTimeoutMs > 0 ? g_readTimeoutMs : kReadTimeoutMs;
  options.TotalTimeoutMs = options.ReadTimeoutMs + kTotalSlackMs;
  options.Cancel = cancel;
  std::string error;
  return platform::HttpGet(URL, options, Reply, error);
}

void QInternetUpdate::ParseReply(const std::atomic<bool>* cancel) {
  if (State == usNoUpdate || State == usUpdateFound) return;
  Reply.clear();
  State = Download(cancel) ? usNoUpdate : usDownloadFailed;
  if (State == usNoUpdate) ReadReplyValues();
}

void QInternetUpdate::ReadReplyValues() {
  UpdateName = Bounded(ValueOf(Reply, "UPDATE_NAME"), kMaxValueLength);
  UpdateVer = Bounded(ValueOf(Reply, "UPDATE_VER"), kMaxValueLength);
  UpdateDate = Bounded(ValueOf(Reply, "UPDATE_DATE"), kMaxValueLength);
  ReadDescription();
  WhatsNewURL = BoundedUrl(ValueOf(Reply, "UPDATE_WHATSNEW_URL"));
  UpdateURL = BoundedUrl(ValueOf(Reply, "UPDATE_URL"));
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

// Every value in it is bounded (see ReadReplyValues, and the description's first 98 characters),
// so the question never outgrows a screen.
std::string UpdateFoundText(const QInternetUpdate& u) {
  return "An update is available: \r\n\r\n" + u.UpdateName + " " + u.UpdateVer + " released on " + u.UpdateDate +
         "\r\n" + u.DescriptionText() + "\r\n\r\nJump to download page?\r\n";
}

void QInternetUpdate::RunCheck(const std::atomic<bool>* cancel) {
  try {
    ParseReply(cancel);
    if (State == usNoUpdate || State == usUpdateFound) {
      const TDateTime release = TextToDate(UpdateDate, 0);
      // A download page the program would refuse to open is no download page: asking "Jump to
      // download page?" and then doing nothing on Yes would leave the user puzzled.
      if (release > OwnDate && IsWebUrl(TrimBlanks(UpdateURL))) State = usUpdateFound;
    }
    NextDate = LocalNow() + Interval;
  } catch (...) {
    State = usCheckError;
  }
}

void QInternetUpdate::Check() {
  bool expected = false;
  if (!g_busy.compare_exchange_strong(expected, true)) return;
  RunCheck(nullptr);
  g_busy.store(false);
}

namespace {

// The check that runs on a worker thread. The worker has its own copy of the checker; the result
// is copied into the caller's checker on the main thread, from the event loop, and only then
// shown. The busy flag stays set from the start until then.
struct RunningCheck {
  QInternetUpdate* Target = nullptr;
  QInternetUpdate Work;
  UpdateInfoBox InfoBox;
  std::atomic<bool> Cancel{false};
  bool Abandoned = false;  // main thread only
  std::thread Worker;
  ~RunningCheck() {
    // The last owner may be the worker itself, on its way out.
    if (Worker.joinable()) Worker.detach();
  }
};

std::shared_ptr<RunningCheck> g_running;  // main thread only

void FinishCheck(const std::shared_ptr<RunningCheck>& run) {
  if (run->Worker.joinable()) run->Worker.join();
  if (run->Abandoned) return;
  if (g_running == run) g_running.reset();
  *run->Target = run->Work;
  g_busy.store(false);
  ShowUpdateResult(*run->Target, run->InfoBox);
}

}  // namespace

void ShowUpdateResult(QInternetUpdate& update, const UpdateInfoBox& infoBox) {
  auto info = [&](const char* text) {
    if (infoBox) infoBox(text);
  };
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
      break;
  }
}

void CheckForUpdates(QInternetUpdate& update, const UpdateInfoBox& infoBox) {
  bool expected = false;
  if (!g_busy.compare_exchange_strong(expected, true)) return;  // another check is running
  update.SetURL(UpdateFileURL());
  TDateTime own = 0;
  TryEncodeDate(2009, 5, 21, own);
  update.OwnDate = own;
  update.Interval = 15.0;
  if (infoBox) infoBox("Checking for updates...");
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) {
    // No event loop to keep alive: the check runs here.
    update.RunCheck(nullptr);
    g_busy.store(false);
    ShowUpdateResult(update, infoBox);
    return;
  }
  QCoreApplication::processEvents();  // the info box's text is painted before the wait begins
  auto run = std::make_shared<RunningCheck>();
  run->Target = &update;
  run->Work = update;
  run->InfoBox = infoBox;
  g_running = run;
  run->Worker = std::thread([run, app] {
    run->Work.RunCheck(&run->Cancel);
    QMetaObject::invokeMethod(app, [run] { FinishCheck(run); }, Qt::QueuedConnection);
  });
}

void CancelUpdateCheck() {
  const std::shared_ptr<RunningCheck> run = g_running;
  if (!run) return;
  g_running.reset();
  run->Cancel.store(true);
  if (run->Worker.joinable()) run->Worker.join();
  run->Abandoned = true;
  g_busy.store(false);
}

void AutoUpdatePrompt(QInternetUpdate& update, bool updateRemind, const UpdateInfoBox& infoBox) {
  // Help > Periodically Check for Updates off means no automatic question.
  if (!updateRemind || !update.IsCheckDue()) return;
  if (AskQuestion("Would you like to check for updates?", mbYes) == 0) CheckForUpdates(update, infoBox);
}

}  // namespace tavelo
