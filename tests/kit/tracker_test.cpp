// The position slider: OnRelease once per mouse release, after the slider moved; none for keys or
// positions set by the program.
#include "kit/tracker.h"

#include <gtest/gtest.h>

#include <QTest>

#include <stdexcept>
#include <vector>

namespace tavelo {
namespace {

struct Tracked {
  Tracked() {
    slider.resize(200, 24);
    slider.SetMin(0);
    slider.SetMax(100);
    slider.SetPageSize(10);
    slider.OnRelease = [this](QTracker* sender) {
      EXPECT_EQ(sender, &slider);
      released.push_back(sender->Position());
    };
  }
  QTracker slider;
  std::vector<int> released;  // the position at each OnRelease
};

TEST(QTracker, ClickOnTheTrackReleasesOnceAfterTheThumbMoved) {
  Tracked t;
  QTest::mousePress(&t.slider, Qt::LeftButton, {}, QPoint(150, 12));
  EXPECT_TRUE(t.released.empty());
  const int moved = t.slider.Position();
  EXPECT_GT(moved, 0);
  QTest::mouseRelease(&t.slider, Qt::LeftButton, {}, QPoint(150, 12));
  EXPECT_EQ(t.released, std::vector<int>{moved});
}

// Without tracking the slider takes the dragged position only in its own release handling, so
// OnRelease sees the final position only when it runs after it.
class QTrackerDrag : public testing::TestWithParam<bool> {};

TEST_P(QTrackerDrag, ReleasesOnceAtTheEnd) {
  Tracked t;
  t.slider.setTracking(GetParam());
  // The thumb sits at the left end at position 0.
  QTest::mousePress(&t.slider, Qt::LeftButton, {}, QPoint(5, 12));
  ASSERT_TRUE(t.slider.isSliderDown()) << "the press must catch the thumb";
  for (int x = 20; x <= 120; x += 20) QTest::mouseMove(&t.slider, QPoint(x, 12));
  EXPECT_TRUE(t.released.empty());
  QTest::mouseRelease(&t.slider, Qt::LeftButton, {}, QPoint(120, 12));
  ASSERT_EQ(t.released.size(), 1u);
  EXPECT_GT(t.released[0], 30);
  EXPECT_EQ(t.released[0], t.slider.Position());
}

INSTANTIATE_TEST_SUITE_P(Tracking, QTrackerDrag, testing::Bool());

TEST(QTracker, KeysAndPositionsSetInCodeRaiseNothing) {
  Tracked t;
  t.slider.setFocus();
  QTest::keyClick(&t.slider, Qt::Key_Right);
  QTest::keyClick(&t.slider, Qt::Key_PageUp);
  EXPECT_GT(t.slider.Position(), 0);
  t.slider.SetPosition(50);
  EXPECT_EQ(t.slider.Position(), 50);
  EXPECT_TRUE(t.released.empty());
}

TEST(QTracker, FailingHandlerIsSwallowed) {
  QTracker slider;
  slider.resize(200, 24);
  int calls = 0;
  slider.OnRelease = [&](QTracker*) {
    ++calls;
    throw std::runtime_error("handler failed");
  };
  QTest::mouseClick(&slider, Qt::LeftButton, {}, QPoint(150, 12));
  QTest::mouseClick(&slider, Qt::LeftButton, {}, QPoint(150, 12));
  EXPECT_EQ(calls, 2);
  slider.OnRelease = nullptr;
  QTest::mouseClick(&slider, Qt::LeftButton, {}, QPoint(150, 12));
}

}  // namespace
}  // namespace tavelo
