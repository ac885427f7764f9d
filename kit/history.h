// A most-recent-first list of texts (recent files, recent folders): kept in a menu's sub-items and
// in the registry between runs.
//
// Entries are compared exactly: they are paths, and on Linux /v/A.avi and /v/a.avi are two files.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/services/reg_utils.h"

class QAction;
class QMenu;
class QFontMetrics;
class QString;

namespace tavelo {

// Tags of the items FillMenu builds, kept in each QAction's data() as an int: 0 .. Count - 1 is the
// entry's index, these two mark the separator and the "Clear List" command.
constexpr int32_t kHistorySeparatorTag = 2147483647;
constexpr int32_t kHistoryClearTag = -1;

// A damaged "HistoryCount" must not make start-up read billions of values.
constexpr int32_t kHistoryLoadLimit = 1000;

class QHistory {
 public:
  // Receives the clicked item (an entry or "Clear List"); its Tag is item->data().toInt().
  using ClickHandler = std::function<void(QAction* item)>;

  QHistory() = default;
  ~QHistory() = default;
  QHistory(const QHistory&) = delete;
  QHistory& operator=(const QHistory&) = delete;

  std::vector<std::string> Items;  // entry 0 is the most recent
  int32_t MaxCount = 20;

  int32_t Count() const { return static_cast<int32_t>(Items.size()); }
  void Clear();
  // Drops the last entries while there are more than MaxCount.
  void Truncate();
  // Blanks are trimmed from both ends; an empty text is ignored; an equal entry moves to the top
  // keeping its stored text; otherwise the text goes on top and the oldest entries fall off.
  void Add(const std::string& text);
  // text := entry index ('' outside 0 .. Count - 1); moveToTop moves an existing entry to the top.
  void GetItem(int32_t index, bool moveToTop, std::string& text);
  // Rebuilds menuItem's sub-items (the old ones are deleted): one item per entry, then a separator
  // and "Clear List" when the list is not empty; menuItem is disabled when the list is empty. The
  // menu is then handed to the menu skin.
  void FillMenu(::QMenu* menuItem, const ClickHandler& onClick);
  // Deletes the key, then writes "HistoryCount" and "History00", "History01", ... (an empty list
  // leaves no key at all).
  void SaveToRegistry(RegRootKey rootKey, const std::string& key);
  void LoadFromRegistry(RegRootKey rootKey, const std::string& key);
};

// The caption an entry shows in the menu: control characters as blanks, elided in the middle to
// maxWidth pixels in the menu's font, '&' doubled so that it shows as itself.
QString HistoryMenuCaption(const std::string& text, const QFontMetrics& metrics, int maxWidth);

// "History" + the index written with at least two digits ("History00", "History07", "History123").
std::string HistoryValueName(int32_t index);

}  // namespace tavelo
