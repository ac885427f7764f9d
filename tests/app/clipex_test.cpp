// Dropped files: which names a drop keeps and what the window opens.
#include <gtest/gtest.h>

#include <QMimeData>
#include <QUrl>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/clipex.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

QMimeData* Drop(const std::vector<QUrl>& urls) {
  auto* data = new QMimeData;
  data->setUrls(QList<QUrl>(urls.begin(), urls.end()));
  return data;
}

QUrl Local(const std::string& path) { return QUrl::fromLocalFile(QString::fromStdString(path)); }

class ClipexTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::MakeTempDir("drop");
    for (const char* name : {"a.avi", "b.avi", "c d%20e.avi"}) test::WriteFile(dir_ + "/" + name, "x");
  }

  std::vector<std::string> Opened(QMimeData* data, bool* handled = nullptr) {
    std::vector<std::string> opened;
    const bool h = OpenDroppedFiles(data, [&](const std::string& n) { opened.push_back(n); });
    if (handled != nullptr) *handled = h;
    delete data;
    return opened;
  }

  std::string dir_;
};

TEST_F(ClipexTest, ThreeFilesOpenOnlyTheFirst) {
  bool handled = false;
  EXPECT_EQ(Opened(Drop({Local(dir_ + "/b.avi"), Local(dir_ + "/a.avi"), Local(dir_ + "/c d%20e.avi")}), &handled),
            std::vector<std::string>{dir_ + "/b.avi"});
  EXPECT_TRUE(handled);
}

TEST_F(ClipexTest, AFolderAloneOpensNothingButIsConsumed) {
  bool handled = false;
  EXPECT_TRUE(Opened(Drop({Local(dir_)}), &handled).empty());
  EXPECT_TRUE(handled);
}

TEST_F(ClipexTest, AFolderThenAFileOpensTheFile) {
  EXPECT_EQ(Opened(Drop({Local(dir_), Local(dir_ + "/a.avi")})), std::vector<std::string>{dir_ + "/a.avi"});
}

TEST_F(ClipexTest, NamesArePercentDecodedAndOnlyLocalExistingFilesKept) {
  QClipex clipex;
  std::unique_ptr<QMimeData> data(Drop({QUrl("https://example.com/a.avi"), Local(dir_ + "/missing.avi"),
                                        QUrl("file://" + QString::fromStdString(dir_) + "/c%20d%2520e.avi")}));
  EXPECT_EQ(QClipex::DropCount(data.get()), 3);
  EXPECT_TRUE(clipex.ReadFilesFromMimeData(data.get()));
  EXPECT_EQ(clipex.Names, std::vector<std::string>{dir_ + "/c d%20e.avi"});
}

TEST_F(ClipexTest, FoldersOnlyWhenAsked) {
  QClipex clipex;
  clipex.AcceptFiles = false;
  clipex.AcceptFolders = true;
  EXPECT_TRUE(clipex.ReadFilesFromNames({dir_ + "/a.avi", dir_}));
  EXPECT_EQ(clipex.Names, std::vector<std::string>{dir_});
  EXPECT_FALSE(clipex.ReadFilesFromNames({}));
  EXPECT_TRUE(clipex.Names.empty());
}

TEST_F(ClipexTest, SomethingThatIsNotAListOfNamesIsLeftAlone) {
  auto* text = new QMimeData;
  text->setText("hello");
  bool handled = true;
  EXPECT_TRUE(Opened(text, &handled).empty());
  EXPECT_FALSE(handled);
  EXPECT_EQ(QClipex::DropCount(nullptr), 0);
}

TEST_F(ClipexTest, AVeryLongNameIsNeverCutToAnotherFile) {
  // A name past the old 2047-byte buffer whose first 2047 bytes name an existing file.
  std::string folder = dir_;
  while (folder.size() + 101 <= 2047 - 100) folder += "/" + std::string(100, 'd');
  std::filesystem::create_directories(folder);
  const std::string prefix = folder + "/" + std::string(2047 - folder.size() - 1, 'p');
  ASSERT_EQ(prefix.size(), 2047u);
  test::WriteFile(prefix, "x");
  const std::string longName = prefix + "-longer.avi";
  QClipex clipex;
  clipex.ReadFilesFromNames({longName});
  EXPECT_TRUE(clipex.Names.empty());
}

}  // namespace
}  // namespace tavelo
