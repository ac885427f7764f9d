// The pop-up menu by item paths.
#include "kit/popup_menu.h"

#include <QAction>
#include <QCursor>
#include <QMenu>

#include "kit/kit_answers.h"
#include "kit/xp_menu.h"

namespace tavelo {

namespace {

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Captions are matched without regard to the case of ASCII letters only.
bool SameCaption(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

std::vector<std::string> SplitPath(const std::string& path, char separator) {
  std::vector<std::string> elements;
  size_t start = 0;
  for (;;) {
    const size_t end = path.find(separator, start);
    elements.push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return elements;
}

}  // namespace

QMenu::QMenu() : Root(std::make_unique<Item>()) { Reset(); }

QMenu::~QMenu() { Reset(); }

void QMenu::Reset() {
  // Children first, last child first, as the tree was built.
  struct Free {
    static void Below(Item& item) {
      while (!item.Children.empty()) {
        Below(*item.Children.back());
        item.Children.pop_back();
      }
    }
  };
  Free::Below(*Root);
  Separator = '|';
  NextId = 1;
  ChosenCommand = kNoCommand;
}

QMenu::Item* QMenu::GetItemByPath(const std::string& path, bool create, bool& created) {
  created = false;
  Item* current = Root.get();
  const std::vector<std::string> elements = SplitPath(path, Separator);
  for (size_t i = 0; i < elements.size(); ++i) {
    const std::string& element = elements[i];
    const bool last = i + 1 == elements.size();
    auto append = [&](const std::string& caption) {
      auto item = std::make_unique<Item>();
      item->Caption = caption;
      item->Id = NextId++;
      item->Parent = current;
      current->Children.push_back(std::move(item));
      if (last) created = true;
      return current->Children.back().get();
    };
    if (element == "-") {
      // A rule is never looked up, so nothing can hang below one.
      if (!last) return nullptr;
      if (create) current = append(element);
      continue;
    }
    Item* found = nullptr;
    for (auto& child : current->Children)
      if (!child->IsSeparator() && SameCaption(child->Caption, element)) {
        found = child.get();
        break;
      }
    if (found == nullptr && create) found = append(element);
    // An element neither found nor made is skipped: the next one is looked up here.
    if (found != nullptr) current = found;
  }
  return current == Root.get() ? nullptr : current;
}

void QMenu::AddItem(const std::string& path, int32_t commandId, bool enabled) {
  bool created = false;
  Item* item = GetItemByPath(path, true, created);
  if (item == nullptr) return;
  item->Value = commandId;
  item->Enabled = enabled;
}

std::vector<std::string> QMenu::ItemPaths() const {
  std::vector<std::string> paths;
  struct Walk {
    static void Below(const Item& item, const std::string& prefix, char separator, std::vector<std::string>& out) {
      for (const auto& child : item.Children) {
        const std::string path = prefix.empty() ? child->Caption : prefix + separator + child->Caption;
        out.push_back(path);
        Below(*child, path, separator, out);
      }
    }
  };
  Walk::Below(*Root, "", Separator, paths);
  return paths;
}

QMenu::Item* QMenu::shownItem(QAction* action) const {
  for (const auto& [shown, item] : shown_)
    if (shown == action) return const_cast<Item*>(item);
  return nullptr;
}

void QMenu::ItemClick(QAction* sender) {
  ChosenCommand = kNoCommand;
  if (const Item* item = shownItem(sender)) ChosenCommand = item->Value;
}

int32_t QMenu::Popup(bool freeAfter) {
  ChosenCommand = kNoCommand;
  if (!Root->Children.empty()) {
    KitAsk ask;
    ask.Kind = KitAskKind::Popup;
    ask.Buttons = ItemPaths();
    KitAnswer answer;
    answer.Result = kNoCommand;
    if (KitAskProvider(ask, answer)) {
      ChosenCommand = answer.Result;
    } else {
      ::QMenu popup;
      struct Copy {
        static void Below(QMenu& self, const Item& item, ::QMenu& into) {
          for (const auto& child : item.Children) {
            if (child->IsSeparator()) {
              into.addSeparator();
              continue;
            }
            // Captions are the program's own texts: a '&' in them marks the accelerator.
            const QString caption = QString::fromStdString(child->Caption);
            QAction* action;
            if (!child->Children.empty()) {
              ::QMenu* sub = into.addMenu(caption);
              Below(self, *child, *sub);
              action = sub->menuAction();
            } else {
              action = into.addAction(caption);
              QObject::connect(action, &QAction::triggered, action, [&self, action] { self.ItemClick(action); });
            }
            action->setEnabled(child->Enabled);
            self.shown_.emplace_back(action, child.get());
          }
        }
      };
      Copy::Below(*this, *Root, popup);
      XPMenuApplyToPopup(&popup);
      // exec() returns after the chosen item's click has run, or when the menu was dismissed.
      popup.exec(QCursor::pos());
      shown_.clear();
    }
  }
  const int32_t result = ChosenCommand;
  if (freeAfter) delete this;  // nothing of the object is touched after this
  return result;
}

}  // namespace tavelo
