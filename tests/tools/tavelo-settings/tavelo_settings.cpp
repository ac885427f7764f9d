// tavelo-settings: writes one value into the current user's settings store, for tests that drive
// the built program from outside (the store lives in $XDG_CONFIG_HOME/tavelo).
//
//   tavelo-settings str|int|bool|float KEY NAME VALUE
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/services/reg_utils.h"

int main(int argc, char** argv) {
  using namespace tavelo;
  if (argc != 5) {
    std::fprintf(stderr, "usage: tavelo-settings str|int|bool|float KEY NAME VALUE\n");
    return 2;
  }
  const std::string type = argv[1], key = argv[2], name = argv[3], value = argv[4];
  TRegistry* reg = RegCreate(HKEY_CURRENT_USER);
  if (!RegOpen(reg, key, true)) {
    std::fprintf(stderr, "tavelo-settings: the key %s cannot be made\n", key.c_str());
    RegFree(reg);
    return 1;
  }
  bool ok = false;
  if (type == "str")
    ok = RegWriteStr(reg, name, value);
  else if (type == "int")
    ok = RegWriteInt(reg, name, std::atoi(value.c_str()));
  else if (type == "bool")
    ok = RegWriteBool(reg, name, value == "1" || value == "true");
  else if (type == "float")
    ok = RegWriteFloat(reg, name, std::strtod(value.c_str(), nullptr));
  RegFree(reg);
  if (!ok) std::fprintf(stderr, "tavelo-settings: %s could not be written\n", name.c_str());
  return ok ? 0 : 1;
}
