// The program block: the unit initializations in their fixed order, the uninstall switch that
// runs before any window exists, the application object with the main window, and the unit
// finalizations in reverse order.
#pragma once
#include <string>

namespace tavelo {

// Registration of the PNG picture class with the toolkit's picture formats and the binding of
// Direct3D 8: two of the five initializations that raise the start-up counter.
void PngImageUnitInit();
void D3D8UnitInit();
void D3D8UnitDone();

// Every unit initialization, in the fixed order (five of them raise the start-up counter), and
// the finalizations in reverse order (sound and display interfaces, codec libraries, then the
// leak report and the trace log's closing lines).
void ProgramUnitsInit();
void ProgramUnitsDone();

// With the switch "uninst": restores the file associations and answers true (the program then
// ends without a window).
bool CheckUninstallSwitch();

// True when a window can be shown: a platform was chosen (QT_QPA_PLATFORM) or an X11 or Wayland
// display is named. Otherwise why says so in one line.
bool DisplayAvailable(std::string& why);

// The whole program: main() is this.
int TaveloMain(int argc, char** argv);

}  // namespace tavelo
