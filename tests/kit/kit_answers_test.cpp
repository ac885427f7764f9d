#include "kit/kit_answers.h"

#include <gtest/gtest.h>

namespace tavelo {
namespace {

TEST(KitAnswers, ProviderAnswersUntilRemovedAndMayAskAgainInside) {
  KitAsk ask;
  KitAnswer answer;
  EXPECT_FALSE(KitAskProvider(ask, answer)) << "no provider: the real dialog runs";

  int asked = 0;
  SetKitAnswerProvider([&](const KitAsk& a, KitAnswer& out) {
    ++asked;
    if (a.Kind == KitAskKind::Popup) {
      out.Result = 7;
      return true;
    }
    // A provider may ask a nested question without dead-locking the seam.
    KitAsk inner;
    inner.Kind = KitAskKind::Popup;
    KitAnswer innerAnswer;
    EXPECT_TRUE(KitAskProvider(inner, innerAnswer));
    out.Result = innerAnswer.Result + 1;
    return true;
  });
  ask.Kind = KitAskKind::Message;
  ASSERT_TRUE(KitAskProvider(ask, answer));
  EXPECT_EQ(answer.Result, 8);
  EXPECT_EQ(asked, 2);

  KitAnswerProvider before = SetKitAnswerProvider({});
  EXPECT_TRUE(static_cast<bool>(before));
  EXPECT_FALSE(KitAskProvider(ask, answer));
}

}  // namespace
}  // namespace tavelo
