// The player control on made-up media and a clock of its own: enable masks, the private messages
// and their order, repeats, the slider scale at short and single-frame files, the info texts, the
// steps at the ends, the guards against re-entry, the refusal of a nested open, the button
// pictures and the volume table. The last test plays a real movie through the dispatcher.
#include "player/med_player.h"

#include <gtest/gtest.h>

#include <QLabel>  // kit/pic_button.h holds a QPointer<QLabel> and needs the whole class
#include "kit/pic_button.h"
#include "kit/tracker.h"
#include <QMouseEvent>

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

#include "core/services/basic.h"
#include "engine_fakes.h"
#include "platform/dsound/dsound.h"
#include "player/player_action.h"
#include "player_test_util.h"
#include "tests/support/test_env.h"

namespace tavelo {
namespace {

using test::FakeClock;
using test::FakeFile;
using test::FakeMedia;

// Records the control's private messages in the order they are handled.
class MessageLog : public QObject {
 public:
  std::vector<int> Seen;
  bool eventFilter(QObject*, QEvent* e) override {
    for (int m : {WM_PLAYER_POSITION, WM_PLAYER_ENDED, WM_PLAYER_SIZE, WM_PLAYER_MOUSE})
      if (e->type() == PlayerMessageType(m)) Seen.push_back(m);
    return false;
  }
  int Count(int m) const { return static_cast<int>(std::count(Seen.begin(), Seen.end(), m)); }
};

FakeFile Movie(int32_t frames, double rate) {
  FakeFile f;
  f.Frames = frames;
  f.FrameRate = rate;
  return f;
}

class Player : public testing::Test {
 protected:
  void SetUp() override {
    test::LoadCodecs();
    FakeMedia::Get().Reset(&clock_);
    platform::SetNullSinkClock([c = &clock_] { return static_cast<int64_t>(c->Now() * 1e9); });
    player_ = std::make_unique<QMedPlayer>(&host_, &clock_, &FakeMedia::Access());
    player_->installEventFilter(&log_);
    player_->OnPlaybackEnded = [this] { ++ended_; };
    QApplication::processEvents();
    log_.Seen.clear();
  }
  void TearDown() override {
    player_.reset();
    QApplication::processEvents();
    platform::SetNullSinkClock(nullptr);
    ConformUnitDone();
  }
  QMedPlayer& Open(const std::string& name, const FakeFile& file) {
    FakeMedia::Get().Add(name, file);
    EXPECT_TRUE(player_->OpenFile(name)) << player_->ErrorText;
    QApplication::processEvents();
    log_.Seen.clear();
    return *player_;
  }
  void RunToEnd() {
    ASSERT_TRUE(test::PumpUntil([this] {
      return player_->Playing == 0 && !player_->IsPlaying() && player_->Engine->VideoThread == nullptr &&
             player_->Engine->AudioThread == nullptr;
    })) << "the play run did not end";
    QApplication::processEvents();
  }

  FakeClock clock_;
  MessageLog log_;
  int ended_ = 0;
  // The main window the control sits in, as in the program: its picture buttons watch that window
  // for Enter and Escape, never the control, which receives the engine's messages.
  QWidget host_;
  std::unique_ptr<QMedPlayer> player_;
};

TEST_F(Player, AStillPictureEnablesOnlyOpenInformationAndOptions) {
  EXPECT_EQ(player_->ButtonsEnabled(), 0x2008u) << "idle";
  QMedPlayer& p = Open("still.bmp", Movie(1, 0));
  EXPECT_EQ(p.ButtonsEnabled(), 0x3008u);
  EXPECT_FALSE(p.Action(paPlay)->Enabled());
  EXPECT_FALSE(p.Action(paPlay)->Button->isEnabled());
  EXPECT_TRUE(p.Action(paFileInfo)->Button->isEnabled());
  EXPECT_FALSE(p.PositionSlider->isEnabled());
  p.Action(paPlay)->Click();
  EXPECT_FALSE(p.IsPlaying());
  EXPECT_EQ(p.Playing, 0);
  Open("movie.avi", Movie(50, 25));
  EXPECT_EQ(p.ButtonsEnabled(), 0x7FF9u) << "a movie without sound: no volume";
  p.CloseFile();
  EXPECT_EQ(p.ButtonsEnabled(), 0x2008u);
  EXPECT_EQ(p.InfoText(0), "");
}

// Short and single-frame files: the scale stays in 32 bits and nothing divides by zero.
TEST_F(Player, ShortFilesGiveSaneSliderValues) {
  struct Case {
    const char* Name;
    int32_t Frames;
    double Rate;
  };
  const Case cases[] = {{"half a second", 5, 10}, {"23 frames at 25 fps", 23, 25}, {"one frame", 1, 25},
                        {"ten seconds", 250, 25}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    QMedPlayer& p = Open(c.Name, Movie(c.Frames, c.Rate));
    const double duration = c.Frames / c.Rate;
    EXPECT_GT(p.SliderScale, 0);
    EXPECT_GT(p.PositionSlider->maximum(), 0);
    EXPECT_NEAR(p.PositionSlider->maximum(), static_cast<double>(p.SliderScale) * duration, 1.0);
    EXPECT_GE(p.PositionSlider->singleStep(), 1);
    // A line is one frame, a page 5 % of the duration.
    EXPECT_NEAR(p.PositionSlider->singleStep(), std::max(1.0, p.SliderScale / c.Rate), 1.0);
    EXPECT_NEAR(p.PositionSlider->pageStep(), std::max(1.0, p.SliderScale * duration / 20), 1.0);
    p.SeekTime(1e9);
    QApplication::processEvents();
    const int expected = c.Frames > 1 ? p.PositionSlider->maximum() : 0;
    EXPECT_EQ(p.PositionSlider->value(), expected);
    p.SeekTime(0);
    QApplication::processEvents();
    EXPECT_EQ(p.PositionSlider->value(), 0);
  }
}

TEST_F(Player, ASeekWhileStoppedPostsPositionThenEnded) {
  QMedPlayer& p = Open("movie.avi", Movie(100, 25));
  p.SeekTime(2.0);
  EXPECT_TRUE(log_.Seen.empty()) << "posted, never handled at once";
  QApplication::processEvents();
  ASSERT_GE(log_.Seen.size(), 2u);
  EXPECT_EQ(log_.Seen[0], WM_PLAYER_POSITION);
  EXPECT_EQ(log_.Seen[1], WM_PLAYER_ENDED);
  EXPECT_EQ(ended_, 1);
  EXPECT_EQ(p.CurrentFrame(), 50);
}

TEST_F(Player, StopWhileStoppedSeeksToZeroAndRaisesThePositionMessages) {
  QMedPlayer& p = Open("movie.avi", Movie(100, 25));
  p.SeekFrame(40);
  QApplication::processEvents();
  log_.Seen.clear();
  p.Action(paStop)->Click();
  QApplication::processEvents();
  EXPECT_EQ(p.CurrentFrame(), 0);
  EXPECT_EQ(log_.Count(WM_PLAYER_POSITION), 1);
  EXPECT_EQ(log_.Count(WM_PLAYER_ENDED), 1);
}

TEST_F(Player, HalfWayOnThePositionSliderSeeksToTheMiddle) {
  QMedPlayer& p = Open("movie.avi", Movie(101, 25));  // 0 .. 4 s
  p.PositionSlider->setValue(p.PositionSlider->maximum() / 2);
  EXPECT_EQ(p.CurrentFrame(), 0) << "positions set by program seek nothing";
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(1, 1), QPointF(1, 1), Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(p.PositionSlider, &release);
  EXPECT_EQ(p.CurrentFrame(), 50);
  EXPECT_NEAR(p.GetTime(), 2.0, 1e-9);
}

TEST_F(Player, TheInfoBoxesShowTimeAndFramesWithThousandsSeparated) {
  QMedPlayer& p = Open("long.avi", Movie(4567, 25));
  p.SeekFrame(1233);
  QApplication::processEvents();
  EXPECT_EQ(p.InfoText(1), "1,234 / 4,567");
  EXPECT_EQ(p.InfoText(0), "00:00:49 - 00:03:03");
  p.SetShowFrameRate(true);
  p.UpdateInfo();
  EXPECT_EQ(p.InfoText(1), "0.00 fps");
}

TEST_F(Player, StepsStopAtBothEndsAndMoveSoundBySeconds) {
  QMedPlayer& p = Open("movie.avi", Movie(10, 25));
  p.Action(paPicBack)->Click();
  EXPECT_EQ(p.CurrentFrame(), 0);
  p.Action(paPicFwd)->Click();
  EXPECT_EQ(p.CurrentFrame(), 1);
  p.Action(paGoToEnd)->Click();
  EXPECT_EQ(p.CurrentFrame(), 9);
  p.Action(paPicFwd)->Click();
  EXPECT_EQ(p.CurrentFrame(), 9);
  p.Action(paGoToStart)->Click();
  EXPECT_EQ(p.CurrentFrame(), 0);

  FakeFile sound;
  sound.Samples = 8000 * 5;
  Open("sound.wav", sound);
  EXPECT_DOUBLE_EQ(p.FrameStep, 1.0);
  p.Action(paPicFwd)->Click();
  EXPECT_NEAR(p.GetTime(), 1.0, 1e-9);
  p.Action(paPicBack)->Click();
  p.Action(paPicBack)->Click();
  EXPECT_NEAR(p.GetTime(), 0.0, 1e-9);
}

// A command pressed while another handler of the control runs (here the open dialog) does nothing.
TEST_F(Player, ASecondPressWhileAHandlerRunsDoesNothing) {
  QMedPlayer& p = Open("movie.avi", Movie(100, 25));
  p.SeekFrame(10);
  int asked = 0;
  test::Answers answers([&](const KitAsk& ask, KitAnswer& answer) {
    if (ask.Kind != KitAskKind::OpenDialog) return false;
    ++asked;
    EXPECT_EQ(ask.Caption, "Open File");
    EXPECT_EQ(ask.Filter.rfind("All Files (*.*)|*.*|All Movies|", 0), 0u) << ask.Filter;
    p.Action(paGoToEnd)->Click();
    p.Action(paOptions)->Click();  // would ask for its form: refused before it gets there
    answer.Result = 0;
    return true;
  });
  p.Action(paOpenFile)->Click();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(p.CurrentFrame(), 10);
  p.Action(paGoToEnd)->Click();
  EXPECT_EQ(p.CurrentFrame(), 99) << "the guard was given back";
}

// A drop or a recent-list click while a file opens must not start a second open inside the first.
TEST_F(Player, AnOpenDuringAnOpenIsRefusedAndShown) {
  FakeMedia::Get().Add("b.avi", Movie(7, 25));
  bool nested = false, nestedResult = true;
  std::string shown;
  struct Ctx {
    QMedPlayer* p;
    bool* nested;
    bool* result;
    std::string* shown;
  } ctx{player_.get(), &nested, &nestedResult, &shown};
  player_->SetOnNoPicture(
      [](void* data) {
        auto* c = static_cast<Ctx*>(data);
        if (*c->nested) return;
        *c->nested = true;
        *c->result = c->p->OpenFile("b.avi");
        *c->shown = c->p->InfoText(1);
      },
      &ctx);
  Open("a.avi", Movie(30, 25));
  EXPECT_TRUE(nested);
  EXPECT_FALSE(nestedResult);
  EXPECT_NE(shown.find("\"b.avi\" was not opened"), std::string::npos) << shown;
  EXPECT_EQ(player_->Engine->Description.FileName, "a.avi");
  EXPECT_EQ(player_->FrameCount, 30);
  EXPECT_TRUE(player_->OpenFile("b.avi")) << "nothing stays blocked";
  EXPECT_EQ(player_->FrameCount, 7);
}

TEST_F(Player, LoopCountThreePlaysThreeTimesAndEndsOnce) {
  QMedPlayer& p = Open("clip.avi", Movie(20, 25));
  p.SetLoopCount(3);
  FakeMedia::Get().LoadLog.clear();
  p.Action(paPlay)->Click();
  EXPECT_EQ(p.ButtonsEnabled(), 0x4FFEu);
  RunToEnd();
  const std::vector<int32_t> loads = FakeMedia::Get().Loads();
  // The first play starts on the frame the open loaded; each repeat loads it again.
  EXPECT_EQ(std::count(loads.begin(), loads.end(), 1), 2);
  EXPECT_EQ(std::count(loads.begin(), loads.end(), 20), 3);
  EXPECT_EQ(ended_, 1);
  EXPECT_EQ(p.ButtonsEnabled(), 0x7FF9u);
}

TEST_F(Player, RepeatCountsAndTheirLimits) {
  struct Case {
    int32_t LoopCount;
    int32_t Frames;
    int32_t RepeatsAfterTheFirst;
  };
  const Case cases[] = {
      {0, 100, 0x7FFFFFFF - 1},  // 0 plays endlessly
      {3, 100, 2},
      {1000000, 100, 999999},
      {2000000, 100, 999999},  // the most repeats there are
      {3, 2, 0},               // under 0.1 s plays once
      {0, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.LoopCount << " repeats of " << c.Frames << " frames");
    QMedPlayer& p = Open("clip" + std::to_string(&c - cases) + ".avi", Movie(c.Frames, 25));
    p.SetLoopCount(c.LoopCount);
    p.StartPlay();
    EXPECT_EQ(p.RepeatsLeft, c.RepeatsAfterTheFirst);
    p.StopPlay();
    p.CloseFile();
  }
}

TEST_F(Player, PlayStopPlayWithoutEventsPlaysTheNewRunToItsEnd) {
  QMedPlayer& p = Open("clip.avi", Movie(40, 25));
  p.Action(paPlay)->Click();
  p.Action(paPause)->Click();
  p.Action(paPlay)->Click();
  RunToEnd();
  EXPECT_EQ(p.Engine->LoadedFrame.load(), 39);
  EXPECT_EQ(ended_, 1) << "the first run's stop message ended the second run";
}

TEST_F(Player, VolumeStepsFollowTheTable) {
  // The table is the constructor's to fill: nothing else does.
  const std::pair<int32_t, int32_t> steps[] = {{0, 0}, {1, 501}, {50, 901}, {75, 958}, {99, 998}, {100, 1000}};
  for (const auto& [percent, volume] : steps) {
    EXPECT_EQ(VolumeTableEntry(percent), volume) << percent;
    player_->SetVolume(percent);
    EXPECT_EQ(player_->Engine->Volume, volume) << percent;
    EXPECT_EQ(player_->VolumeSlider->value(), 100 - percent) << "top is loud";
  }
  player_->SetVolume(250);
  EXPECT_EQ(player_->GetVolume(), 100);
  player_->VolumeSlider->setEnabled(true);  // enabled with a sound file open
  player_->VolumeSlider->setValue(70);
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(1, 1), QPointF(1, 1), Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(player_->VolumeSlider, &release);
  EXPECT_EQ(player_->GetVolume(), 30);
  EXPECT_EQ(player_->Engine->Volume, VolumeTableEntry(30));
}

TEST_F(Player, EveryButtonHasItsPictureAndABadBlobClearsConstructionComplete) {
  EXPECT_EQ(player_->ConstructionComplete, -1);
  int buttons = 0;
  for (int i = 0; i < kPlayerActionCount; ++i) {
    QPlayerAction* a = player_->Action(i);
    ASSERT_NE(a, nullptr);
    if (a->Button == nullptr) continue;
    ++buttons;
    EXPECT_FALSE(a->Button->Icon().isNull()) << a->Hint;
  }
  EXPECT_EQ(buttons, 12);
  EXPECT_EQ(player_->Action(paFivePercFwd)->ShortCut, QKeySequence(Qt::CTRL | Qt::Key_PageDown));

  std::vector<uint8_t> bad(PlayerButtonPicture(paPlay), PlayerButtonPicture(paPlay) + 64);
  bad[24] ^= 0xFF;  // the zlib stream's header
  int32_t left = 500;
  int clicks = 0;
  QPlayerAction broken(player_.get(), "Broken", QKeySequence(), bad.data(),
                       [&](QPlayerAction*) { ++clicks; }, 0, left);
  EXPECT_EQ(player_->ConstructionComplete, 0);
  ASSERT_NE(broken.Button, nullptr);
  EXPECT_TRUE(broken.Button->Icon().isNull());
  EXPECT_EQ(left, 532);
  broken.Button->Click();
  EXPECT_EQ(clicks, 1);
}

// A real movie with sound through the dispatcher, the machine's clock and the null sink; the
// picture's fitting changed while it plays.
TEST(PlayerRealMovie, PlaysTwoSecondsIntoTheDisplayAndMovesTheSlider) {
  test::LoadCodecs();
  {
    QWidget host;
    QMedPlayer p(&host);
    p.SetFitToPicture(true);
    ASSERT_TRUE(p.OpenFile(test::MediaPath("playback/movie.avi"))) << p.ErrorText;
    EXPECT_EQ(p.FrameCount, 300);
    EXPECT_EQ(p.ButtonsEnabled() & 0x4FF1u, 0x4FF1u);
    Qimg* shown = p.Engine->GetDisplayImage();
    ASSERT_NE(shown, nullptr);
    ASSERT_EQ(shown->Width, 640);
    const std::vector<uint8_t> first(shown->Data, shown->Data + shown->Size);
    const auto before = platform::DsGetSinkTotals();
    p.SetVolume(50);
    p.Action(paPlay)->Click();
    EXPECT_TRUE(p.IsPlaying());
    // The window resized while frames come: the fitting reads the size of the picture shown.
    for (int i = 0; i < 8; ++i) {
      p.SetResizeBig(i % 2 == 0);
      test::PumpFor(0.25);
    }
    EXPECT_TRUE(p.IsPlaying());
    EXPECT_GT(p.CurrentFrame(), 30);
    EXPECT_GT(p.PositionSlider->value(), 0);
    shown = p.Engine->GetDisplayImage();  // while playing, the display's own copy
    {
      std::lock_guard<std::mutex> lock(p.Engine->Display->Lock);
      EXPECT_NE(std::vector<uint8_t>(shown->Data, shown->Data + shown->Size), first) << "no frame reached the display";
    }
    EXPECT_GT(platform::DsGetSinkTotals().PlayedFrames, before.PlayedFrames) << "no sound was played";
    p.Action(paPause)->Click();
    EXPECT_FALSE(p.IsPlaying());
    p.CloseFile();
  }
  QApplication::processEvents();
  ConformUnitDone();
}

}  // namespace
}  // namespace tavelo
