// Small helpers of the application's windows (unit Common).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace tavelo {

// Shows a pop-up menu with one item per caption (the rows of a list) at the mouse position and
// returns the chosen row's index, or 2147483647 when nothing was chosen.
int32_t VListMenu(const std::vector<std::string>& captions);

}  // namespace tavelo
