// The main menu's captions, separators, shortcuts and check marks, and the built-in picture.
#include <gtest/gtest.h>

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

#include <string>
#include <vector>

#include "app/idle_picture.h"
#include "app/w_tavelo_main.h"
#include "core/media/img_basic.h"
#include "formats/conform.h"
#include "formats/ff_img_from_bin.h"
#include "formats/ff_tables.h"
#include "platform/dynlib/dynlib.h"

namespace tavelo {
namespace {

// Each item as "caption<TAB>shortcut", separators as "-".
std::vector<std::string> Items(::QMenu* menu) {
  std::vector<std::string> items;
  for (QAction* a : menu->actions()) {
    if (a->isSeparator()) {
      items.push_back("-");
      continue;
    }
    std::string item = a->text().toStdString();
    const std::string key = a->shortcut().toString(QKeySequence::PortableText).toStdString();
    if (!key.empty()) item += "\t" + key;
    items.push_back(item);
  }
  return items;
}

TEST(MenuTest, EveryMenuAsListed) {
  QMainWindow form;
  TaveloMenu m;
  BuildTaveloMenu(&form, m);
  std::vector<std::string> titles;
  for (QAction* a : form.menuBar()->actions()) titles.push_back(a->text().toStdString());
  EXPECT_EQ(titles, (std::vector<std::string>{"&File", "&Navigate", "View", "&Help"}));
  EXPECT_EQ(Items(m.File), (std::vector<std::string>{"Open...\tO", "Recent Files", "Recent Folders", "-", "Convert...",
                                                      "Close", "-", "Save Screenshot...", "Quick Screenshot\tF2", "-",
                                                      "File Info...\tF5", "Current Frame Info...\tF6",
                                                      "Frame Rate...", "-", "Copy...", "Move / Rename...",
                                                      "Delete (to Recycle Bin)...", "-", "Exit"}));
  EXPECT_EQ(Items(m.Navigate),
            (std::vector<std::string>{"Play/Pause\tSpace", "Stop\tBackspace", "-", "Next Picture\tRight",
                                      "Previous Picture\tLeft", "-", "5 Seconds Forward\tCtrl+Right",
                                      "5 Seconds Backward\tCtrl+Left", "5% Forward\tCtrl+PgDown",
                                      "5% Backward\tCtrl+PgUp", "Go to Start\tHome", "Go to End\tEnd", "-",
                                      "Volume Up\tUp", "Volume Down\tDown"}));
  EXPECT_EQ(Items(m.View),
            (std::vector<std::string>{"Fit Window to Image", "-", "File Formats...", "Options...\tT"}));
  EXPECT_EQ(Items(m.Help), (std::vector<std::string>{"Quick Help\tF1", "Frequently Asked Questions", "Home Page", "-",
                                                      "Check for Updates Now", "Periodically Check for Updates", "-",
                                                      "Create Log File", "-", "About..."}));
  EXPECT_TRUE(m.PeriodicCheck->isCheckable());
  EXPECT_TRUE(m.CreateLog->isCheckable());
  EXPECT_FALSE(m.CreateLog->isChecked());
  EXPECT_FALSE(m.About->isCheckable());
}

TEST(IdlePictureTest, UnpacksTo440By293At24Bits) {
  platform::SetLibraryFolder(TAVELO_CODEC_DIR);
  FFTablesUnitInit();
  ConformUnitInit();
  Qimg img;
  ASSERT_TRUE(ImgFromBin(IdlePictureBlob(), img));
  EXPECT_EQ(img.Width, kIdlePictureWidth);
  EXPECT_EQ(img.Height, kIdlePictureHeight);
  EXPECT_EQ(img.Bpp, 24);
  // The ring's top edge is light, the corner under the film strip dark.
  const uint8_t* ring = img.Data + (static_cast<size_t>(118 - 54) * img.Width + 220) * 3;
  EXPECT_GT(ring[0] + ring[1] + ring[2], 600);
  const uint8_t* corner = img.Data + (static_cast<size_t>(40) * img.Width + 2) * 3;
  EXPECT_LT(corner[0] + corner[1] + corner[2], 200);
  ImgFree(img);
  ConformUnitDone();
}

}  // namespace
}  // namespace tavelo
