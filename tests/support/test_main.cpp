#include <gtest/gtest.h>

#include <cstdlib>

namespace tavelo::test {
void InitTestEnvironment();
void CleanTestEnvironment();
}  // namespace tavelo::test

int main(int argc, char** argv) {
  // The environment is set before anything else runs, so no code under test ever sees the
  // real HOME.
  tavelo::test::InitTestEnvironment();
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  tavelo::test::CleanTestEnvironment();
  return result;
}
