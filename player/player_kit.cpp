#include "player/player_kit.h"

#include "kit/kit_answers.h"

namespace tavelo {

int RunModalForm(QDialog& form, const std::string& className) {
  KitAsk ask;
  ask.Kind = KitAskKind::Form;
  ask.Caption = className;
  ask.Form = &form;
  KitAnswer answer;
  if (KitAskProvider(ask, answer)) return answer.Result;
  return form.exec();
}

}  // namespace tavelo
