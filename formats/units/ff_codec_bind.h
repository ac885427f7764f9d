// Binding a unit's codec-library calls by their export names. The loader (FFLoadCodecLib) has
// resolved every export of the library in its table order; a unit asks by name, so it does not
// depend on where in that order a call stands.
#pragma once
#include <cstring>

#include "formats/ff_codec_libs.h"

namespace tavelo {

// The address of export name of library lib; nullptr when the library did not load completely
// or binds no such export.
inline void* FFCodecProcByName_(int lib, const char* name) {
  const FFCodecLib& l = FFCodecLibrary(lib);
  for (int32_t i = 0; i < l.ExportCount; ++i)
    if (std::strcmp(l.Exports[i], name) == 0) return FFCodecProc(lib, i);
  return nullptr;
}

// A per-thread binding of one library's calls: rebound when the library was (re)loaded since, so
// a unit never calls through addresses of a library that is gone. Bind(api) fills the calls and
// says whether all were found.
template <class Api>
struct FFCodecBinding {
  void* Key = nullptr;  // the library's first export when bound
  bool All = false;
  Api Calls{};

  template <class BindFn>
  bool Refresh(int lib, BindFn&& bind) {
    void* key = FFCodecProc(lib, 0);
    if (key == nullptr || key != Key || !All) {
      Key = key;
      All = key != nullptr && bind(Calls);
    }
    return All;
  }
};

template <class Fn>
bool FFBind_(int lib, Fn& fn, const char* name) {
  fn = reinterpret_cast<Fn>(FFCodecProcByName_(lib, name));
  return fn != nullptr;
}

}  // namespace tavelo
