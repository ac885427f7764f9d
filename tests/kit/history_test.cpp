#include "kit/history.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QFontMetrics>
#include <QMenu>
#include <QScreen>
#include <QPointer>

#include <string>
#include <vector>

#include "core/services/reg_utils.h"
#include "platform/registry/registry.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

using Texts = std::vector<std::string>;

const std::string kKey = "\\Software\\Velkarn\\Tavelo\\3.1.0\\RecentFiles";

TEST(QHistoryList, AddKeepsNamesExactlyAndMovesEqualEntries) {
  QHistory history;
  history.Add("/v/a.avi");
  history.Add("/v/b.avi");
  history.Add("");
  history.Add("  \t");
  EXPECT_EQ(history.Items, (Texts{"/v/b.avi", "/v/a.avi"}));
  history.Add("/v/a.avi");
  EXPECT_EQ(history.Items, (Texts{"/v/a.avi", "/v/b.avi"})) << "an equal entry moves to the top";
  // Blanks and case are part of a name: each of these is another file.
  history.Add("/v/A.avi");
  history.Add("/v/a.avi ");
  history.Add(" /v/a.avi\t");
  EXPECT_EQ(history.Items, (Texts{" /v/a.avi\t", "/v/a.avi ", "/v/A.avi", "/v/a.avi", "/v/b.avi"}));
}

TEST(QHistoryList, TheTwentyFirstEntryPushesTheOldestOut) {
  QHistory history;
  for (int i = 0; i < 21; ++i) history.Add("/f" + std::to_string(i));
  ASSERT_EQ(history.Count(), 20);
  EXPECT_EQ(history.Items.front(), "/f20");
  EXPECT_EQ(history.Items.back(), "/f1");
}

TEST(QHistoryList, GetItemOutsideTheListGivesNothingAndMoveToTopKeepsTheOrder) {
  QHistory history;
  for (const char* t : {"/d", "/c", "/b", "/a"}) history.Add(t);  // a b c d
  std::string text = "x";
  for (int index : {-1, 4, 20}) {
    history.GetItem(index, true, text);
    EXPECT_EQ(text, "") << index;
  }
  EXPECT_EQ(history.Items, (Texts{"/a", "/b", "/c", "/d"}));
  history.GetItem(2, false, text);
  EXPECT_EQ(text, "/c");
  EXPECT_EQ(history.Items, (Texts{"/a", "/b", "/c", "/d"}));
  history.GetItem(2, true, text);
  EXPECT_EQ(history.Items, (Texts{"/c", "/a", "/b", "/d"}));
}

TEST(QHistoryList, ValueNamesHaveAtLeastTwoDigits) {
  EXPECT_EQ(HistoryValueName(0), "History00");
  EXPECT_EQ(HistoryValueName(7), "History07");
  EXPECT_EQ(HistoryValueName(19), "History19");
  EXPECT_EQ(HistoryValueName(123), "History123");
}

// Writes a stored list as another run (or a damaged file) left it.
void StoreList(const std::string& key, int32_t count, const std::vector<std::pair<int, std::string>>& values) {
  RegDelKey(HKEY_CURRENT_USER, key);
  TRegistry* reg = RegCreate(HKEY_CURRENT_USER);
  ASSERT_TRUE(RegOpen(reg, key, true));
  RegWriteInt(reg, "HistoryCount", count);
  for (const auto& [index, text] : values) RegWriteStr(reg, HistoryValueName(index), text);
  RegFree(reg);
}

TEST(QHistoryList, LoadRebuildsTheSavedOrderFromWhatTheKeyHolds) {
  std::vector<std::pair<int, std::string>> twentyFive;
  Texts first20;
  for (int i = 0; i < 25; ++i) {
    twentyFive.emplace_back(i, "/m" + std::to_string(i));
    if (i < 20) first20.push_back("/m" + std::to_string(i));
  }
  struct Case {
    const char* name;
    int32_t count;
    std::vector<std::pair<int, std::string>> values;
    Texts expected;
  };
  const std::vector<Case> cases = {
      {"gaps", 3, {{0, "/zero"}, {2, "/two"}}, {"/zero", "/two"}},
      {"empty and blank values", 3, {{0, "/zero"}, {1, ""}, {2, "  "}}, {"/zero"}},
      {"duplicates collapse on the newest", 3, {{0, "/a"}, {1, "/b"}, {2, "/a"}}, {"/a", "/b"}},
      {"count 25 keeps History00..19", 25, twentyFive, first20},
      {"negative count", -5, {{0, "/zero"}}, {}},
      // A damaged count reads at most 1000 values: History999 is read, History1000 is not.
      {"damaged count", 2147483647, {{999, "/last read"}, {1000, "/never read"}}, {"/last read"}},
  };
  for (const Case& c : cases) {
    StoreList(kKey, c.count, c.values);
    QHistory history;
    history.Add("/left over");
    history.LoadFromRegistry(HKEY_CURRENT_USER, kKey);
    EXPECT_EQ(history.Items, c.expected) << c.name;
  }
}

TEST(QHistoryList, MissingKeyLoadsAnEmptyList) {
  RegDelKey(HKEY_CURRENT_USER, kKey);
  QHistory history;
  history.Add("/x");
  history.LoadFromRegistry(HKEY_CURRENT_USER, kKey);
  EXPECT_EQ(history.Count(), 0);
}

TEST(QHistoryList, SavedValuesSurviveTheStoreFileAndAnEmptyListLeavesNoKey) {
  QHistory saved;
  for (const char* t : {"/v/older.avi", "/v/new & shiny.avi", "/v/\xC3\xA9t\xC3\xA9.mkv"}) saved.Add(t);
  saved.SaveToRegistry(HKEY_CURRENT_USER, kKey);
  const std::string file = test::ReadFile(platform::RegistryFile(platform::kRegCurrentUser));
  EXPECT_NE(file.find("HistoryCount"), std::string::npos) << "written to the store's file";
  EXPECT_NE(file.find("new & shiny"), std::string::npos);

  QHistory loaded;
  loaded.LoadFromRegistry(HKEY_CURRENT_USER, kKey);
  EXPECT_EQ(loaded.Items, saved.Items);
  EXPECT_EQ(RegGetStr(HKEY_CURRENT_USER, kKey, "History00", "?"), "/v/\xC3\xA9t\xC3\xA9.mkv");

  // A shorter list leaves none of the longer list's values behind.
  QHistory shorter;
  shorter.Add("/only");
  shorter.SaveToRegistry(HKEY_CURRENT_USER, kKey);
  EXPECT_EQ(RegGetStr(HKEY_CURRENT_USER, kKey, "History01", "missing"), "missing");

  QHistory empty;
  empty.SaveToRegistry(HKEY_CURRENT_USER, kKey);
  TRegistry* reg = RegCreate(HKEY_CURRENT_USER);
  EXPECT_FALSE(RegKeyExists(reg, kKey)) << "an empty list deletes the key";
  RegFree(reg);
  loaded.LoadFromRegistry(HKEY_CURRENT_USER, kKey);
  EXPECT_EQ(loaded.Count(), 0);
}

TEST(QHistoryMenu, FillMenuBuildsTaggedItemsAndDeletesTheOldOnes) {
  ::QMenu recent("Recent Files");
  QHistory history;
  history.Add("/v/b.avi");
  history.Add("/v/Tom & Jerry.avi");
  std::vector<int> clicked;
  auto onClick = [&](QAction* item) { clicked.push_back(item->data().toInt()); };
  history.FillMenu(&recent, onClick);

  const QList<QAction*> items = recent.actions();
  ASSERT_EQ(items.size(), 4);
  EXPECT_TRUE(recent.isEnabled());
  EXPECT_EQ(items[0]->text(), QStringLiteral("/v/Tom && Jerry.avi")) << "a '&' of a path is no accelerator";
  EXPECT_EQ(history.Items[0], "/v/Tom & Jerry.avi") << "the stored text keeps one '&'";
  EXPECT_EQ(items[0]->data().toInt(), 0);
  EXPECT_EQ(items[1]->text(), QStringLiteral("/v/b.avi"));
  EXPECT_EQ(items[1]->data().toInt(), 1);
  EXPECT_TRUE(items[2]->isSeparator());
  EXPECT_EQ(items[2]->data().toInt(), kHistorySeparatorTag);
  EXPECT_EQ(items[3]->text(), QStringLiteral("Clear List"));
  EXPECT_EQ(items[3]->data().toInt(), kHistoryClearTag);

  for (QAction* item : items) item->trigger();
  EXPECT_EQ(clicked, (std::vector<int>{0, 1, kHistoryClearTag})) << "the separator has no handler";

  // Every rebuild deletes the items it replaces.
  std::vector<QPointer<QAction>> old(items.begin(), items.end());
  history.Clear();
  history.FillMenu(&recent, onClick);
  for (const auto& item : old) EXPECT_TRUE(item.isNull());
  EXPECT_TRUE(recent.actions().isEmpty()) << "no separator or Clear List for an empty list";
  EXPECT_FALSE(recent.isEnabled());
  EXPECT_FALSE(recent.menuAction()->isEnabled());
  for (QAction* child : recent.findChildren<QAction*>(QString(), Qt::FindDirectChildrenOnly))
    EXPECT_EQ(child, recent.menuAction()) << "no item of an earlier fill is left";
}

// A long entry shows elided in the middle, a tab or line break as a blank; the submenu stays
// within half the work area, and the click still gets the whole stored name.
TEST(QHistoryMenu, LongAndTabbedNamesShowElidedAsPlainText) {
  const std::string deep = "/home/someone/" + std::string(300, 'd') + "/clip.avi";
  const std::string tabbed = "/v/a\tb\nc & d.avi";
  const QFontMetrics metrics(QFont("DejaVu Sans", 9));
  struct Case {
    std::string text;
    QString shown;  // empty: elided (checked by its ends and width)
  };
  const Case cases[] = {{"/v/short.avi", "/v/short.avi"}, {tabbed, "/v/a b c && d.avi"}, {deep, ""}};
  for (const Case& c : cases) {
    const QString caption = HistoryMenuCaption(c.text, metrics, 300);
    if (!c.shown.isEmpty()) {
      EXPECT_EQ(caption, c.shown);
    } else {
      EXPECT_LE(metrics.horizontalAdvance(caption), 300);
      EXPECT_TRUE(caption.startsWith("/home/someone/")) << caption.toStdString();
      EXPECT_TRUE(caption.endsWith("/clip.avi")) << caption.toStdString();
    }
  }

  ::QMenu file("File");
  file.addAction("Open...");
  ::QMenu* recent = file.addMenu("Recent Files");
  QHistory history;
  history.Add(deep);
  history.Add(tabbed);
  std::string opened;
  history.FillMenu(recent, [&](QAction* item) { history.GetItem(item->data().toInt(), true, opened); });
  const QList<QAction*> items = recent->actions();
  ASSERT_EQ(items.size(), 4);
  EXPECT_FALSE(items[0]->text().contains('\t')) << "no shortcut column";
  // It fits beside the File menu on its wider side, wherever the window stands.
  EXPECT_LE(recent->sizeHint().width(), (file.screen()->availableGeometry().width() - file.sizeHint().width()) / 2);
  items[1]->trigger();
  EXPECT_EQ(opened, deep) << "the stored name stays whole";
}

}  // namespace
}  // namespace tavelo
