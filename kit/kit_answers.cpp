#include "kit/kit_answers.h"

#include <mutex>

namespace tavelo {

namespace {
std::mutex g_lock;
KitAnswerProvider g_provider;
}  // namespace

KitAnswerProvider SetKitAnswerProvider(KitAnswerProvider provider) {
  std::lock_guard<std::mutex> hold(g_lock);
  KitAnswerProvider before = std::move(g_provider);
  g_provider = std::move(provider);
  return before;
}

bool KitAskProvider(const KitAsk& ask, KitAnswer& answer) {
  KitAnswerProvider provider;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    provider = g_provider;
  }
  // Called outside the lock: a provider may itself show (and answer) another question.
  return provider && provider(ask, answer);
}

}  // namespace tavelo
