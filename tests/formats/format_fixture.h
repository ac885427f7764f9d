// Shared by the format-layer tests: every test starts from the full format tables and unloaded
// codec libraries and leaves them so, whatever it withdrew or loaded.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "core/services/trace.h"
#include "formats/ff_codec_libs.h"
#include "formats/ff_tables.h"
#include "platform/dynlib/dynlib.h"
#include "tests/support/test_env.h"

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

// Counts the trace log's warnings of a class while work runs.
template <class Work>
int CountWarnings(int32_t cls, Work&& work) {
  const std::string log = test::MakeTempDir("trace") + "/trace.txt";
  SetTraceFile(log);
  TraceStart("test");
  work();
  TraceStop();
  const std::string text = test::ReadFile(log);
  const std::string tag = "?" + std::to_string(cls) + ":";
  int n = 0;
  for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1))
    if (at == 0 || text[at - 1] == '\n') ++n;
  return n;
}

}  // namespace tavelo::test
