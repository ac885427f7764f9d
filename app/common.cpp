#include "app/common.h"

#include "core/services/trace.h"
#include "kit/popup_menu.h"

namespace tavelo {

int32_t VListMenu(const std::vector<std::string>& captions) {
  TraceScope trace("Common.VListMenu");
  auto* menu = new QMenu;
  for (size_t i = 0; i < captions.size(); ++i) menu->AddItem(captions[i], static_cast<int32_t>(i), true);
  // The menu frees itself once the choice is made.
  return menu->Popup(true);
}

}  // namespace tavelo
