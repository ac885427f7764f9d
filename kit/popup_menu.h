// A pop-up menu built at run time from item paths ("Video|Frame rate|25" is the item 25 in the
// submenu Frame rate of the submenu Video), shown at the mouse pointer; Popup returns the command
// number of the chosen item in one synchronous call.
//
// Kept apart from Qt's ::QMenu by the namespace. The item tree and each item's record live in our
// own structure; Popup copies it into a temporary ::QMenu only while it is shown. Before showing
// anything, Popup offers the question to the kit's answer seam (KitAskKind::Popup).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QAction;

namespace tavelo {

constexpr int32_t kNoCommand = 2147483647;

class QMenu {
 public:
  // One item of the tree. A separator has the caption "-".
  struct Item {
    std::string Caption;
    bool Enabled = true;
    // The item's record: a running number and the command number it returns when chosen.
    int32_t Id = 0;
    int32_t Value = kNoCommand;
    Item* Parent = nullptr;
    std::vector<std::unique_ptr<Item>> Children;

    bool IsSeparator() const { return Caption == "-"; }
  };

  QMenu();
  ~QMenu();
  QMenu(const QMenu&) = delete;
  QMenu& operator=(const QMenu&) = delete;

  std::unique_ptr<Item> Root;  // the tree hangs below it
  char Separator = '|';
  int32_t NextId = 1;
  int32_t ChosenCommand = kNoCommand;

  // Frees every item below the root; Separator '|', NextId 1, ChosenCommand none.
  void Reset();
  // Walks (and with create, builds) the path; see the .cpp for the rules. nullptr when nothing
  // matched. created is true when the path's last element was made by this call.
  Item* GetItemByPath(const std::string& path, bool create, bool& created);
  // Finds or creates the path's item; it returns commandId when chosen.
  void AddItem(const std::string& path, int32_t commandId, bool enabled);
  // Shows the menu at the pointer and returns the chosen command (kNoCommand when the menu is
  // empty or dismissed). With freeAfter the object deletes itself before returning: only an
  // object made with new may pass true.
  int32_t Popup(bool freeAfter);
  // The click of a shown item: ChosenCommand := its command number (none for an unknown item).
  void ItemClick(QAction* sender);

  // The captions Popup offers to the answer seam: every item in tree order, as its path from the
  // root joined by Separator ("File|Open"); separators appear as their path too ("File|-").
  std::vector<std::string> ItemPaths() const;

 private:
  Item* shownItem(QAction* action) const;

  // While Popup shows its menu: which shown action stands for which item.
  std::vector<std::pair<QAction*, const Item*>> shown_;
};

}  // namespace tavelo
