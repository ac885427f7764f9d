// Fonts through Qt's font engine. fontconfig picks a substitute for a family that is not installed
// (so "Arial" draws in a metric-compatible or default face), but a machine with no fonts at all
// makes Qt draw empty boxes without any complaint: these calls let start-up and the tests see it.
// They need a running QGuiApplication.
#pragma once
#include <string>
#include <vector>

namespace tavelo::platform {

// The font families installed on this machine.
std::vector<std::string> InstalledFontFamilies();
// True when the family itself (not a substitute) is installed; case-insensitive.
bool FontFamilyInstalled(const std::string& family);
// The family Qt actually draws with when family is asked for.
std::string ResolvedFontFamily(const std::string& family);

}  // namespace tavelo::platform
