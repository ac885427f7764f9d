// A numeric locale whose decimal separator is a comma, for the tests that check numbers are
// written and read with a '.' whatever the locale says. scripts/install-deps.sh generates
// de_DE.UTF-8; a machine without any such locale skips those tests with a message.
#pragma once
#include <clocale>
#include <string>

namespace tavelo::test {

class CommaLocale {
 public:
  CommaLocale() {
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    saved_ = old != nullptr ? old : "C";
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "nl_NL.UTF-8", "ru_RU.UTF-8"}) {
      if (std::setlocale(LC_NUMERIC, name) != nullptr && std::localeconv()->decimal_point[0] == ',') {
        active_ = true;
        break;
      }
    }
    if (!active_) std::setlocale(LC_NUMERIC, saved_.c_str());
  }
  ~CommaLocale() { std::setlocale(LC_NUMERIC, saved_.c_str()); }
  CommaLocale(const CommaLocale&) = delete;
  CommaLocale& operator=(const CommaLocale&) = delete;
  // True when a comma locale is in effect now.
  bool Active() const { return active_; }

 private:
  std::string saved_;
  bool active_ = false;
};

constexpr const char* kNoCommaLocale =
    "no locale with a decimal comma is installed (scripts/install-deps.sh generates de_DE.UTF-8)";

}  // namespace tavelo::test
