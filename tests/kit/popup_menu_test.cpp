#include "kit/popup_menu.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTimer>

#include <string>
#include <vector>

#include "kit/kit_answers.h"

namespace tavelo {
namespace {

// Answers every pop-up with a fixed command and records what was offered.
class PopupAnswers {
 public:
  explicit PopupAnswers(int32_t result) {
    SetKitAnswerProvider([this, result](const KitAsk& ask, KitAnswer& answer) {
      ++asked;
      if (ask.Kind != KitAskKind::Popup) return false;
      offered = ask.Buttons;
      answer.Result = result;
      return true;
    });
  }
  ~PopupAnswers() { SetKitAnswerProvider({}); }
  int asked = 0;
  std::vector<std::string> offered;
};

TEST(QMenuPaths, EmptyMenuReturnsNoneWithoutShowingAnything) {
  PopupAnswers answers(5);
  QMenu menu;
  EXPECT_EQ(menu.Popup(false), kNoCommand);
  EXPECT_EQ(answers.asked, 0);
}

TEST(QMenuPaths, ChosenAndDismissedMenus) {
  for (int32_t choice : {7, kNoCommand}) {
    PopupAnswers answers(choice);
    QMenu menu;
    menu.AddItem("25", 0, true);
    menu.AddItem("Video|Frame rate|30", 1, false);
    EXPECT_EQ(menu.Popup(false), choice);
    EXPECT_EQ(menu.ChosenCommand, choice);
    EXPECT_EQ(answers.offered, (std::vector<std::string>{"25", "Video", "Video|Frame rate", "Video|Frame rate|30"}));
  }
}

TEST(QMenuPaths, ItemsAreFoundByCaptionWithAsciiCaseFolding) {
  QMenu menu;
  menu.AddItem("File|Open", 1, true);
  menu.AddItem("file|Close", 2, true);
  ASSERT_EQ(menu.Root->Children.size(), 1u) << "both under one File";
  const QMenu::Item& file = *menu.Root->Children[0];
  EXPECT_EQ(file.Caption, "File");
  ASSERT_EQ(file.Children.size(), 2u);
  EXPECT_EQ(file.Children[0]->Value, 1);
  EXPECT_EQ(file.Children[1]->Value, 2);
  EXPECT_EQ(file.Children[1]->Parent, &file);

  // Only ASCII letters fold: É and é are two captions.
  menu.AddItem("\xC3\x89t\xC3\xA9", 3, true);
  menu.AddItem("\xC3\xA9t\xC3\xA9", 4, true);
  EXPECT_EQ(menu.Root->Children.size(), 3u);

  bool created = true;
  EXPECT_EQ(menu.GetItemByPath("FILE|OPEN", false, created), file.Children[0].get());
  EXPECT_FALSE(created);
  // An element that is not there is skipped; the next one is looked up at the same level.
  EXPECT_EQ(menu.GetItemByPath("Nothing|file|close", false, created), file.Children[1].get());
  EXPECT_EQ(menu.GetItemByPath("Nothing", false, created), nullptr);
  EXPECT_NE(menu.GetItemByPath("New|Item", true, created), nullptr);
  EXPECT_TRUE(created);
}

TEST(QMenuPaths, SeparatorsAreNeverLookedUp) {
  QMenu menu;
  bool created = false;
  EXPECT_EQ(menu.GetItemByPath("A|-|B", true, created), nullptr);
  EXPECT_FALSE(created);
  const QMenu::Item* a = menu.GetItemByPath("A", false, created);
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(a->Children.empty()) << "nothing hangs below a rule";

  menu.AddItem("A|-", 0, true);
  menu.AddItem("a|-", 0, true);
  ASSERT_EQ(a->Children.size(), 2u) << "a trailing rule is always new";
  EXPECT_TRUE(a->Children[0]->IsSeparator());
  EXPECT_TRUE(a->Children[1]->IsSeparator());
  EXPECT_NE(a->Children[0]->Id, a->Children[1]->Id);
}

TEST(QMenuPaths, CommandNumbersAreFreeAndResetStartsOver) {
  QMenu menu;
  menu.AddItem("One", 9, true);
  menu.AddItem("Two", 9, true);
  menu.AddItem("Three", -4, true);
  ASSERT_EQ(menu.Root->Children.size(), 3u);
  EXPECT_EQ(menu.Root->Children[0]->Value, 9);
  EXPECT_EQ(menu.Root->Children[1]->Value, 9);
  EXPECT_EQ(menu.Root->Children[2]->Value, -4);
  EXPECT_EQ(menu.NextId, 4);
  menu.Separator = '/';
  menu.Reset();
  EXPECT_TRUE(menu.Root->Children.empty());
  EXPECT_EQ(menu.NextId, 1);
  EXPECT_EQ(menu.Separator, '|');
  EXPECT_EQ(menu.ChosenCommand, kNoCommand);
}

TEST(QMenuPaths, FreeAfterDeletesTheMenuAndStillAnswers) {
  PopupAnswers answers(12);
  auto* menu = new QMenu;
  menu->AddItem("x", 12, true);
  EXPECT_EQ(menu->Popup(true), 12);  // the leak checker sees a menu that was not freed
}

// The real menu: shown at the pointer, the click runs before Popup returns. A timer plays the user.
TEST(QMenuPaths, RealMenuReturnsTheClickedCommand) {
  QMenu menu;
  menu.AddItem("First", 10, true);
  menu.AddItem("Sub|Second", 20, true);
  menu.AddItem("Sub|Off", 30, false);
  std::vector<std::string> seen;
  bool clicked = false;
  QTimer::singleShot(0, [&] {
    auto* shown = qobject_cast<::QMenu*>(QApplication::activePopupWidget());
    if (shown == nullptr) return;
    for (QAction* action : shown->actions()) seen.push_back(action->text().toStdString());
    QAction* sub = shown->actions().at(1);
    ASSERT_NE(sub->menu(), nullptr);
    EXPECT_FALSE(sub->menu()->actions().at(1)->isEnabled());
    sub->menu()->actions().at(0)->trigger();
    clicked = true;
    shown->close();
  });
  // Should the popup never appear, close whatever is open so the test ends.
  QTimer::singleShot(3000, [] {
    if (QWidget* open = QApplication::activePopupWidget()) open->close();
  });
  EXPECT_EQ(menu.Popup(false), 20);
  EXPECT_TRUE(clicked);
  EXPECT_EQ(seen, (std::vector<std::string>{"First", "Sub"}));

  // Dismissed without a choice.
  QTimer::singleShot(0, [] {
    if (QWidget* open = QApplication::activePopupWidget()) open->close();
  });
  EXPECT_EQ(menu.Popup(false), kNoCommand);
}

}  // namespace
}  // namespace tavelo
