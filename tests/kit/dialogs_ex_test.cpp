// The open and save dialogs as Qt dialogs, looked at without running them.
#include "kit/dialogs_ex.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QStandardPaths>
#include <QUrl>
#include <QtTest/QTest>

#include "kit/kit_answers.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

std::vector<std::string> SidebarFolders(const QFileDialog& dialog) {
  std::vector<std::string> folders;
  for (const QUrl& url : dialog.sidebarUrls()) folders.push_back(QDir::cleanPath(url.toLocalFile()).toStdString());
  return folders;
}

bool SidebarShown(const QFileDialog& dialog) {
  const QWidget* sidebar = dialog.findChild<QWidget*>("sidebar");
  return sidebar != nullptr && !sidebar->isHidden();
}

TEST(DialogsEx, FiltersBecomeQtNameFilters) {
  EXPECT_EQ(QtNameFilters("Text Files (*.txt)|*.txt"), std::vector<std::string>{"Text Files (*.txt) (*.txt)"});
  EXPECT_EQ(QtNameFilters("Pictures| *.tif ; *.tiff |All files|*.*|Dangling"),
            (std::vector<std::string>{"Pictures (*.tif *.tiff)", "All files (*)"}));
  EXPECT_TRUE(QtNameFilters("").empty());
}

TEST(DialogsEx, PlacesColumnOnOpenNotOnSaveUnlessAsked) {
  // The user's folders: home always, the XDG folders that exist.
  const QString home = QDir::homePath();
  QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::MusicLocation));
  QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::PicturesLocation));
  const std::vector<std::string> places = PlacesFolders();
  ASSERT_GE(places.size(), 3u);
  EXPECT_EQ(places[0], QDir::cleanPath(home).toStdString());
  for (const std::string& p : places) EXPECT_TRUE(QDir(QString::fromStdString(p)).exists()) << p;

  TOpenDialogEx open;
  EXPECT_TRUE(open.ShowPlacesBar);
  std::unique_ptr<QFileDialog> d = open.CreateQtDialog();
  EXPECT_TRUE(d->testOption(QFileDialog::DontUseNativeDialog));
  EXPECT_TRUE(SidebarShown(*d));
  EXPECT_EQ(SidebarFolders(*d), places);

  TSaveDialogEx save;
  EXPECT_FALSE(save.ShowPlacesBar);
  d = save.CreateQtDialog();
  EXPECT_FALSE(SidebarShown(*d));
  save.ShowPlacesBar = true;
  d = save.CreateQtDialog();
  EXPECT_TRUE(SidebarShown(*d));
  EXPECT_EQ(SidebarFolders(*d), places);
}

TEST(DialogsEx, ResizableWithTheCallersSettings) {
  const std::string dir = test::MakeTempDir("dialogs");
  TSaveDialogEx save;
  save.Title = "Save picture";
  save.Filter = "JPEG (*.jpg)|*.jpg;*.jpeg|PNG (*.png)|*.png";
  save.FilterIndex = 2;
  save.InitialDir = dir;
  save.FileName = "shot";
  save.Options = ofHideReadOnly | ofNoChangeDir | ofPathMustExist;
  std::unique_ptr<QFileDialog> d = save.CreateQtDialog();
  EXPECT_EQ(d->windowTitle(), "Save picture");
  EXPECT_TRUE(d->isSizeGripEnabled());
  EXPECT_LT(d->minimumWidth(), d->maximumWidth()) << "resizable";
  EXPECT_EQ(d->acceptMode(), QFileDialog::AcceptSave);
  EXPECT_TRUE(d->testOption(QFileDialog::DontConfirmOverwrite)) << "no overwrite prompt";
  EXPECT_EQ(d->nameFilters(), (QStringList{"JPEG (*.jpg) (*.jpg *.jpeg)", "PNG (*.png) (*.png)"}));
  EXPECT_EQ(d->selectedNameFilter(), "PNG (*.png)") << "the second pair, as shown";
  EXPECT_EQ(QDir::cleanPath(d->directory().absolutePath()).toStdString(), dir);
  // The user sees the descriptions as written.
  const QComboBox* types = d->findChild<QComboBox*>("fileTypeCombo");
  ASSERT_NE(types, nullptr);
  EXPECT_EQ(types->itemText(0), "JPEG (*.jpg)");
  EXPECT_EQ(types->itemText(1), "PNG (*.png)");

  save.Options |= ofOverwritePrompt;
  EXPECT_FALSE(save.CreateQtDialog()->testOption(QFileDialog::DontConfirmOverwrite));

  TOpenDialogEx open;
  open.Options = ofHideReadOnly | ofNoChangeDir | ofPathMustExist | ofFileMustExist;
  open.Filter = "A|*.a";
  open.FilterIndex = 9;  // past the pairs: the first
  d = open.CreateQtDialog();
  EXPECT_EQ(d->acceptMode(), QFileDialog::AcceptOpen);
  EXPECT_EQ(d->fileMode(), QFileDialog::ExistingFile);
  EXPECT_EQ(d->selectedNameFilter(), "A");
}

TEST(DialogsEx, TheChoiceComesBackWithItsOneBasedFilterIndex) {
  const std::string dir = test::MakeTempDir("choice");
  test::WriteFile(dir + "/clip.zmv", "x");
  TOpenDialogEx open;
  open.Filter = "Targa|*.tga|Movies|*.zmv;*.avi|All|*.*";
  open.InitialDir = dir;
  std::unique_ptr<QFileDialog> d = open.CreateQtDialog();
  d->selectNameFilter(d->nameFilters()[1]);
  d->selectFile(QString::fromStdString(dir + "/clip.zmv"));
  open.TakeChoice(*d);
  EXPECT_EQ(open.FileName, dir + "/clip.zmv");
  EXPECT_EQ(open.FilterIndex, 2);

  // Through the answer seam.
  SetKitAnswerProvider([](const KitAsk& ask, KitAnswer& a) {
    EXPECT_EQ(ask.Kind, KitAskKind::OpenDialog);
    a.Result = 1;
    a.FileName = "/picked";
    a.FilterIndex = 3;
    return true;
  });
  EXPECT_TRUE(open.Execute());
  EXPECT_EQ(open.FileName, "/picked");
  EXPECT_EQ(open.FilterIndex, 3);
  SetKitAnswerProvider([](const KitAsk&, KitAnswer& a) {
    a.Result = 0;
    a.FileName = "/ignored";
    return true;
  });
  EXPECT_FALSE(open.Execute());
  EXPECT_EQ(open.FileName, "/picked");
  SetKitAnswerProvider({});
}


// A save dialog accepts and returns the name as it was typed: a '"' in it is part of the name,
// not Qt's syntax for several files (which made `clip copy "q".avi` a file q.avi at the root).
TEST(DialogsEx, ASaveDialogReturnsExactlyTheNameTyped) {
  const std::string dir = test::MakeTempDir("typed");
  QDir().mkpath(QString::fromStdString(dir + "/sub"));
  struct Case {
    const char* Typed;
    std::string Chosen;
  };
  for (const Case& c : {Case{"clip copy \"q\".avi", dir + "/clip copy \"q\".avi"}, Case{"\"a\" \"b\"", dir + "/\"a\" \"b\""},
                        Case{"\"quoted.avi\"", dir + "/\"quoted.avi\""}, Case{"sub/x \"1\".avi", dir + "/sub/x \"1\".avi"},
                        Case{"plain name.avi", dir + "/plain name.avi"}, Case{"/tmp/a\"b.avi", "/tmp/a\"b.avi"}}) {
    SCOPED_TRACE(c.Typed);
    TSaveDialogEx save;
    save.Filter = "*.avi|*.avi";
    save.InitialDir = dir;
    std::unique_ptr<QFileDialog> d = save.CreateQtDialog();
    auto* edit = d->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(edit, nullptr);
    edit->clear();
    QTest::keyClicks(edit, QString::fromUtf8(c.Typed));
    ASSERT_EQ(edit->text().toStdString(), c.Typed);
    static_cast<QDialog*>(d.get())->accept();  // the Save button
    EXPECT_EQ(d->result(), QDialog::Accepted);
    save.TakeChoice(*d);
    EXPECT_EQ(save.FileName, c.Chosen);
  }
}

}  // namespace
}  // namespace tavelo
