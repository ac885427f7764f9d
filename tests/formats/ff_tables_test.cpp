#include <gtest/gtest.h>

#include "formats/ff_basic.h"
#include "formats/ff_tables.h"
#include "tests/formats/format_fixture.h"

namespace tavelo {
namespace {

using Tables = test::FormatTest;

int Listed(int32_t which) {
  int n = 0;
  FFFormatRec rec;
  for (int32_t i = 0; FFGetFormatByIndex(rec, i, which); ++i)
    if (rec.FormatId >= 1) ++n;
  return n;
}

TEST_F(Tables, SizesAndRowsByIndex) {
  EXPECT_EQ(Listed(1), 25);
  EXPECT_EQ(Listed(2), 23);
  FFFormatRec rec;
  rec.ShortName = "keep";
  EXPECT_FALSE(FFGetFormatByIndex(rec, 23, 2));
  EXPECT_EQ(rec.ShortName, "keep");  // unchanged on failure
  EXPECT_FALSE(FFGetFormatByIndex(rec, -1, 1));
  EXPECT_FALSE(FFGetFormatByIndex(rec, 25, 1));
  ASSERT_TRUE(FFGetFormatByIndex(rec, 23, 1));
  EXPECT_EQ(rec.FormatId, 25);
  EXPECT_EQ(rec.Description, "WMV, Windows Media Video / Audio");
  ASSERT_TRUE(FFGetFormatByIndex(rec, 4, 0));  // any value other than 2 reads the read table
  EXPECT_EQ(rec.ShortName, "RGB");              // the Sun raster row
  EXPECT_EQ(rec.Extensions, ".ras.sun.im1.rast");
  ASSERT_TRUE(FFGetFormatByIndex(rec, 14, 2));
  EXPECT_EQ(rec.ShortName, "PPM");
  EXPECT_EQ(rec.Kinds, 9u);
}

TEST_F(Tables, ById) {
  FFFormatRec rec;
  for (int32_t which : {1, 2}) {
    EXPECT_FALSE(FFGetFormatById(rec, 22, which));
    EXPECT_FALSE(FFGetFormatById(rec, 24, which));
    EXPECT_FALSE(FFGetFormatById(rec, 0, which));
  }
  ASSERT_TRUE(FFGetFormatById(rec, 18, 2));
  EXPECT_EQ(rec.Description, "MP2, MPEG Audio Layer II");
  ASSERT_TRUE(FFGetFormatById(rec, 18, 1));
  EXPECT_EQ(rec.Description, "MPA, MPEG Audio Layer I/II/III");
  ASSERT_TRUE(FFGetFormatById(rec, 4, 1));
  EXPECT_EQ(rec.Kinds, 11u);
  ASSERT_TRUE(FFGetFormatById(rec, 4, 2));
  EXPECT_EQ(rec.Kinds, 10u);
}

TEST_F(Tables, BlankingKeepsEveryOtherRowInPlace) {
  FFInitTables();
  FFDisableFormat(fidXPM, ffBoth);
  FFDisableFormat(fidGIF, ffWrite);
  FFDisableFormat(99, ffBoth);  // not in the tables: nothing changes
  EXPECT_EQ(Listed(1), 24);
  EXPECT_EQ(Listed(2), 21);
  FFFormatRec rec;
  ASSERT_TRUE(FFGetFormatByIndex(rec, 16, 1));
  EXPECT_EQ(rec.FormatId, 0);  // the blanked row is still there, all empty
  EXPECT_EQ(rec.Kinds, 0u);
  EXPECT_TRUE(rec.Extensions.empty());
  EXPECT_TRUE(rec.Description.empty());
  ASSERT_TRUE(FFGetFormatByIndex(rec, 17, 1));
  EXPECT_EQ(rec.FormatId, fidMPA);  // its neighbours did not move
  ASSERT_TRUE(FFGetFormatByIndex(rec, 4, 2));
  EXPECT_EQ(rec.FormatId, 0);
  ASSERT_TRUE(FFGetFormatById(rec, fidGIF, 1));  // reading GIF is the unit's own
  EXPECT_FALSE(FFGetFormatById(rec, fidGIF, 2));
  EXPECT_FALSE(FFCanSave(fidGIF));
  EXPECT_TRUE(FFCanSave(fidTGA));
  // The first working copy follows the blanking; the second keeps the original row.
  EXPECT_EQ(FFWorkingRow(1, 0, 16).FormatId, 0);
  EXPECT_EQ(FFWorkingRow(1, 1, 16).FormatId, fidXPM);
  EXPECT_EQ(FFWorkingRow(2, 0, 22).FormatId, 0);
  EXPECT_EQ(FFWorkingRow(2, 1, 22).FormatId, fidXPM);
}

}  // namespace
}  // namespace tavelo
