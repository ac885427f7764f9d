// Shared by the player control's tests: the codec libraries loaded from the build (the button
// pictures are unpacked by zmvcodec), an answer provider that stands in for every modal question,
// and event pumping as the program's main loop does it.
#pragma once
#include <gtest/gtest.h>

#include <QApplication>

#include <chrono>
#include <functional>
#include <thread>

#include "formats/conform.h"
#include "formats/ff_tables.h"
#include "kit/kit_answers.h"
#include "platform/dynlib/dynlib.h"

namespace tavelo::test {

inline void LoadCodecs() {
  platform::SetLibraryFolder(TAVELO_CODEC_DIR);
  FFTablesUnitInit();
  ConformUnitInit();
}

// Installs a provider for the test's lifetime; a question it does not expect fails the test.
class Answers {
 public:
  using Fn = std::function<bool(const KitAsk&, KitAnswer&)>;
  explicit Answers(Fn fn) {
    before_ = SetKitAnswerProvider([fn = std::move(fn)](const KitAsk& ask, KitAnswer& answer) {
      if (fn(ask, answer)) return true;
      ADD_FAILURE() << "unexpected question: " << ask.Caption << " " << ask.Text;
      answer.Result = 2;
      return true;
    });
  }
  ~Answers() { SetKitAnswerProvider(before_); }
  Answers(const Answers&) = delete;
  Answers& operator=(const Answers&) = delete;

 private:
  KitAnswerProvider before_;
};

// Handles events until done() holds or the time is up; false on time-out.
inline bool PumpUntil(const std::function<bool()>& done, double seconds = 60) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    QApplication::processEvents();
    std::this_thread::yield();
  }
  return true;
}

inline void PumpFor(double seconds) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < limit) {
    QApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace tavelo::test
