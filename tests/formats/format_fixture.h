// Shared by the format-layer tests: every test starts from the full format tables and unloaded
// codec libraries and leaves them so, whatever it withdrew or loaded.
#pragma once
#include <gtest/gtest.h>

#include "formats/ff_codec_libs.h"
#include "formats/ff_tables.h"
#include "platform/dynlib/dynlib.h"

namespace tavelo::test {

class FormatTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  static void Reset() {
    FFResetCodecLibsForTest();
    platform::SetLibraryFolder("");
    FFRestoreTablesForTest();
  }
};

}  // namespace tavelo::test
