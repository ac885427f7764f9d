// The update check: one small text file fetched from our web server tells the newest release's
// name, version, date, description and download page; the checker decides whether that release
// is newer than the running one. The main window drives it on demand (Help > Check for Updates
// Now) and by a question at the second idle moment after start-up when a check is due.
//
// The update file is lines of NAME=VALUE separated by CR LF:
//   UPDATE_NAME, UPDATE_VER, UPDATE_DATE (YYYY-MM-DD), UPDATE_DESC (any number of lines),
//   UPDATE_WHATSNEW_URL, UPDATE_URL (the download page).
// The first line of a name counts; unknown names are ignored.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/services/text_utils.h"

namespace tavelo {

// QInternetUpdate.State
enum : uint8_t {
  usNotRun = 0,
  usDownloadFailed = 1,
  usCheckError = 2,
  usNoUpdate = 3,
  usUpdateFound = 4,
};

class QInternetUpdate {
 public:
  QInternetUpdate() = default;

  std::string URL;           // address of the update file
  TDateTime OwnDate = 0;     // release date of the running program (a whole day)
  double Interval = 15.0;    // days between automatic checks
  TDateTime NextDate = 0.0;  // earliest moment of the next automatic check ("UpdateNextDate")
  uint8_t State = usNotRun;
  std::string Reply;         // the downloaded text
  std::string UpdateName, UpdateVer, UpdateDate;
  std::vector<std::string> Description;
  std::string WhatsNewURL;   // read, not used
  std::string UpdateURL;     // the download page

  void SetURL(const std::string& url);
  // The whole check: download, parse, compare dates, move NextDate. Returns at once while another
  // check of the program runs.
  void Check();
  // The check without the busy flag (its holder runs it): an exception is state 2. cancel, when
  // given and set, ends the download early (a failed download).
  void RunCheck(const std::atomic<bool>* cancel);
  // True when the local date and time is at or after NextDate.
  bool IsCheckDue() const;
  void SetNextDate(double days);
  // The description lines joined with CR LF.
  std::string DescriptionText() const;

  // Reply := the update file; false (Reply empty) when the download failed.
  // The download gives up after 10 s without data, and 3 s after that in all.
  bool Download(const std::atomic<bool>* cancel = nullptr);
  // Downloads and reads the reply, unless the state already is 3 or 4.
  void ParseReply(const std::atomic<bool>* cancel = nullptr);
  // Takes the values from Reply (what ParseReply does with a downloaded reply): name, version and
  // date cut to 100 bytes; an address longer than 2048 bytes is taken as none.
  void ReadReplyValues();
  // Description := the UPDATE_DESC lines that, with their CR LF, lie within the reply's first 98
  // characters.
  void ReadDescription();
};

// The address of the update file: our web server + "/tavelo.update".
std::string UpdateFileURL();

// The question asked when an update was found.
std::string UpdateFoundText(const QInternetUpdate& update);

// What the update check shows in the player's first info box (the main window passes the
// player's box; tests record it).
using UpdateInfoBox = std::function<void(const std::string& text)>;

// Help > Check for Updates Now, and a Yes to the automatic question: shows "Checking for
// updates..." and runs the check on a worker thread, so the window keeps painting and answering.
// When it ends, the result is copied into update and shown (ShowUpdateResult) from the event
// loop. Returns at once; does nothing while another check runs. update must live until the
// result is shown or CancelUpdateCheck returned.
void CheckForUpdates(QInternetUpdate& update, const UpdateInfoBox& infoBox);
// The boxes of a finished check, by its state.
void ShowUpdateResult(QInternetUpdate& update, const UpdateInfoBox& infoBox);
// Ends a running check before its checker is freed: the download is stopped, the worker joined,
// and the result never shown.
void CancelUpdateCheck();
// The second idle step: asks whether to check when a check is due and the user has left
// Help > Periodically Check for Updates ("UpdateRemind") on.
void AutoUpdatePrompt(QInternetUpdate& update, bool updateRemind, const UpdateInfoBox& infoBox);

// ---- Test seams.
// The web server the update file is fetched from ("" returns to ours).
void SetUpdateServerForTest(const std::string& server);
// The read time-out of the download in milliseconds (0 returns to 10000).
void SetUpdateReadTimeoutForTest(int32_t milliseconds);
// The clock the checker reads "now" from (an empty function returns to the local time).
void SetUpdateClockForTest(std::function<TDateTime()> now);
// True while a check runs (the program-wide busy flag).
bool UpdateCheckBusy();

}  // namespace tavelo
