#include "app/clipex.h"

#include <sys/stat.h>

#include <QMimeData>
#include <QUrl>

#include "core/services/trace.h"

namespace tavelo {

namespace {

bool IsFile(const std::string& name) {
  struct stat st {};
  return ::stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool IsFolder(const std::string& name) {
  struct stat st {};
  return ::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int32_t QClipex::DropCount(const QMimeData* data) {
  if (data == nullptr || !data->hasUrls()) return 0;
  const qsizetype n = data->urls().size();
  return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
}

std::vector<std::string> QClipex::DropNames(const QMimeData* data) {
  std::vector<std::string> names;
  if (data == nullptr || !data->hasUrls()) return names;
  for (const QUrl& url : data->urls())
    names.push_back(url.isLocalFile() ? url.toLocalFile().toStdString() : std::string());
  return names;
}

bool QClipex::ReadFilesFromNames(const std::vector<std::string>& names) {
  TraceScope trace("Clipex.QClipex.ReadFilesFromHandle");
  Names.clear();
  if (names.empty()) return false;
  for (const std::string& name : names) {
    // A name is kept whole: a name cut to some buffer could name another file.
    if (name.empty()) continue;
    if ((AcceptFiles && IsFile(name)) || (AcceptFolders && IsFolder(name))) Names.push_back(name);
  }
  return true;
}

bool QClipex::ReadFilesFromMimeData(const QMimeData* data) {
  Names.clear();
  if (DropCount(data) <= 0) return false;
  return ReadFilesFromNames(DropNames(data));
}

bool OpenDroppedFiles(const QMimeData* data, const std::function<void(const std::string&)>& open) {
  if (data == nullptr || !data->hasUrls()) return false;
  QClipex clipex;
  clipex.ReadFilesFromMimeData(data);
  if (!clipex.Names.empty() && open) open(clipex.Names.front());
  return true;
}

}  // namespace tavelo
