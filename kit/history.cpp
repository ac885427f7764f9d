// The recent list.
#include "kit/history.h"

#include <QAction>
#include <QFontMetrics>
#include <QMenu>
#include <QScreen>
#include <QString>

#include <algorithm>

#include "core/services/basic.h"
#include "core/services/text_utils.h"
#include "kit/xp_menu.h"

namespace tavelo {

QString HistoryMenuCaption(const std::string& text, const QFontMetrics& metrics, int maxWidth) {
  QString caption = QString::fromStdString(text);
  // A tab would start the menu's shortcut column and a line break a second line: both are
  // characters of the name, shown as blanks.
  for (QChar& c : caption)
    if (c.unicode() < 0x20 || c.unicode() == 0x7F) c = QLatin1Char(' ');
  // A long path is cut in its middle, so its start and its file name stay readable; the stored
  // entry keeps the whole name.
  caption = metrics.elidedText(caption, Qt::ElideMiddle, std::max(maxWidth, 1));
  // A '&' in a path is a character of the name, not an accelerator mark.
  return caption.replace(QLatin1Char('&'), QLatin1String("&&"));
}

std::string HistoryValueName(int32_t index) { return "History" + IntToStrW(static_cast<uint32_t>(index), 202); }

void QHistory::Clear() { Items.clear(); }

void QHistory::Truncate() {
  const int32_t limit = std::max<int32_t>(MaxCount, 0);
  while (Count() > limit) Items.pop_back();
}

void QHistory::Add(const std::string& text) {
  // Names are kept exactly: "dup.png " (blank included) is a file of its own. Nothing but blanks
  // names nothing.
  if (TrimBlanks(text).empty()) return;
  std::string entry = text;
  auto found = std::find(Items.begin(), Items.end(), entry);
  if (found != Items.end()) {
    std::rotate(Items.begin(), found, found + 1);
    return;
  }
  Items.insert(Items.begin(), std::move(entry));
  Truncate();
}

void QHistory::GetItem(int32_t index, bool moveToTop, std::string& text) {
  if (index < 0 || index >= Count()) {
    text.clear();
    return;
  }
  text = Items[index];
  if (moveToTop) std::rotate(Items.begin(), Items.begin() + index, Items.begin() + index + 1);
}

void QHistory::FillMenu(::QMenu* menuItem, const ClickHandler& onClick) {
  if (menuItem == nullptr) return;
  // clear() deletes the actions the menu owns: every opening of the File menu rebuilds this list.
  menuItem->clear();
  menuItem->setEnabled(!Items.empty());
  menuItem->menuAction()->setEnabled(!Items.empty());
  auto addItem = [&](const QString& caption, int32_t tag, bool clickable) {
    auto* item = new QAction(caption, menuItem);
    item->setData(tag);
    if (clickable && onClick) QObject::connect(item, &QAction::triggered, item, [onClick, item] { onClick(item); });
    menuItem->addAction(item);
    return item;
  };
  // The submenu must fit beside the menu it hangs from, on the side with more room, wherever the
  // window stands: then it never covers that menu. That side has at least half of what the parent
  // menu leaves of the work area; some of it goes to the submenu's margins and icon band.
  constexpr int kSubmenuChrome = 80;
  const QScreen* screen = menuItem->screen();
  const int work = screen != nullptr ? screen->availableGeometry().width() : 800;
  const auto* parentMenu = qobject_cast<const ::QMenu*>(menuItem->parentWidget());
  const int beside = parentMenu != nullptr ? (work - parentMenu->sizeHint().width()) / 2 : work / 3;
  const int maxWidth = std::max(beside - kSubmenuChrome, 100);
  const QFontMetrics metrics(menuItem->font());
  for (int32_t i = 0; i < Count(); ++i) addItem(HistoryMenuCaption(Items[i], metrics, maxWidth), i, true);
  if (!Items.empty()) {
    addItem(QString(), kHistorySeparatorTag, false)->setSeparator(true);
    addItem(QStringLiteral("Clear List"), kHistoryClearTag, true);
  }
  XPMenuApplyToItem(menuItem);
}

void QHistory::SaveToRegistry(RegRootKey rootKey, const std::string& key) {
  RegDelKey(rootKey, key);
  if (Items.empty()) return;
  TRegistry* reg = RegCreate(rootKey);
  if (RegOpen(reg, key, true)) {
    RegWriteInt(reg, "HistoryCount", Count());
    for (int32_t i = 0; i < Count(); ++i) RegWriteStr(reg, HistoryValueName(i), Items[i]);
  }
  RegFree(reg);
}

void QHistory::LoadFromRegistry(RegRootKey rootKey, const std::string& key) {
  Clear();
  TRegistry* reg = RegCreate(rootKey);
  RegSetWriteAccess(reg, false);
  if (RegOpen(reg, key, false)) {
    // Only the newest entries survive Add anyway; a damaged count reads at most this many.
    const int32_t n = std::min(RegReadInt(reg, "HistoryCount", 0), kHistoryLoadLimit);
    for (int32_t i = n - 1; i >= 0; --i) Add(RegReadStr(reg, HistoryValueName(i), ""));
  }
  RegFree(reg);
}

}  // namespace tavelo
