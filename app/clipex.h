// Files dropped on the main window (unit Clipex). The window accepts drags that carry a URI list;
// QClipex turns the drop into the names it keeps: local files, and folders when asked, that exist
// at the moment of the drop. Nothing of the drop is kept after it has been read.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QMimeData;

namespace tavelo {

class QClipex {
 public:
  std::vector<std::string> Names;  // the accepted names, in drop order
  bool AcceptFiles = true;         // keep names of existing files
  bool AcceptFolders = false;      // keep names of existing folders

  // Reads the names of a drop. True when the drop held at least one name, even if none was kept.
  bool ReadFilesFromMimeData(const QMimeData* data);
  // The same for names already taken from a drop (local paths; '' for an entry that names no
  // local file).
  bool ReadFilesFromNames(const std::vector<std::string>& names);
  // The number of entries a drop carries (0 for none or a drop that is not a URI list).
  static int32_t DropCount(const QMimeData* data);
  // The local paths of a drop's entries, percent-decoded; '' for entries that are not local.
  static std::vector<std::string> DropNames(const QMimeData* data);
};

// What the main window does with a drop: the first kept name is handed to open. True when the
// drop was a list of names (the window then marks the drop as handled, whatever was kept).
bool OpenDroppedFiles(const QMimeData* data, const std::function<void(const std::string&)>& open);

}  // namespace tavelo
