// The codec libraries and how a format unit loads one. Each library is a shared object found by
// its Windows file name (platform/dynlib). A unit's loader follows one pattern (FFLoadCodecLib):
// load the file, resolve every export the unit calls or keeps, and when the file or any export is
// missing withdraw the unit's formats from the tables. The dispatcher's initialization runs the
// loaders in a fixed order at start-up and its finalization frees the libraries.
//
// The table below holds, per library, the exports its unit binds and the formats it serves; the
// resolved addresses stay here and the units bind them by name (FFCodecBinding).
#pragma once
#include <cstdint>

#include "platform/dynlib/dynlib.h"

namespace tavelo {

// The libraries, in the order the dispatcher loads them.
enum FFCodecLibIndex : int {
  clDShow = 0,  // dshowcodec.dll: the AVI unit's fallback decoder
  clMpeg,       // mpegcodec.dll
  clGif,        // gifcodec.dll (writing calls only)
  clZmv,        // zmvcodec.dll
  clOgg,        // oggcodec.dll
  clCine,       // cinecodec.dll
  clWm,         // wmcodec.dll
  clJpeg,       // jpegcodec.dll
  clJp2,        // jp2codec.dll
  clPng,        // pngcodec.dll
  clTiff,       // tiffcodec.dll
  clXpm,        // xpmcodec.dll
  clCount
};

constexpr int kMaxCodecExports = 32;

struct FFCodecLib {
  // What the unit binds (constant).
  const char* FileName = nullptr;
  const char* Unit = nullptr;  // the unit's short name, for the trace
  const char* const* Exports = nullptr;
  int32_t ExportCount = 0;
  int32_t Withdraw[5] = {};  // the formats withdrawn when the library or an export is missing
  int32_t WithdrawCount = 0;
  int32_t WithdrawWhich = 0;  // table bits (1 read, 2 write)
  bool ReleaseIncomplete = false;  // free a library at once when an export is missing
  const char* LoadFailedTrace = nullptr;  // trace line when the file does not load
  const char* WithdrawTrace = nullptr;    // trace line when the formats are withdrawn
  // State.
  platform::HMODULE Module = nullptr;  // the loaded mark
  bool Loaded = false;    // the loader has run
  bool Deferred = false;  // the file showed every export; the loader runs at the first call asked for
  bool AllFound = false;  // the file loaded and every export resolved
  void* Procs[kMaxCodecExports] = {};
};

// GetProcAddress(module, name); allFound stays true only when it was true and the export exists.
void* FFGetProc(platform::HMODULE module, bool& allFound, const char* name);

FFCodecLib& FFCodecLibrary(int index);

// The loader pattern: once per run (a second call returns at once, also for a deferred library).
void FFLoadCodecLib(int index);
// Start-up's step for one library: looks at the file without loading it. When the file holds
// every export the library is deferred: its loader runs, once and under a lock, when a unit first
// asks for one of its calls (FFCodecProc) on whatever thread. Otherwise (file
// missing, an export missing, a file that cannot be read that way) the loader runs now.
void FFDeferCodecLib(int index);
// The unloader: frees the library when it was loaded; the loader may run again afterwards.
void FFFreeCodecLib(int index);

// The resolved address of export number exportIndex (in the library's export order), nullptr
// when the library did not load completely. A deferred library is loaded first.
void* FFCodecProc(int index, int32_t exportIndex);
// The address of the export called name, nullptr when the library did not load completely or
// binds no such export. A deferred library is loaded first.
void* FFCodecProcByName_(int index, const char* name);
// A number that is new each time the library's loader completes it (every export resolved), 0
// while it is not loaded completely. A deferred library is loaded first.
uint32_t FFCodecLibLoadNumber(int index);
// True when the library loaded and every export resolved, or when it is deferred (its file shows
// every export): asking does not load it, so a unit may note at start-up that it can use it.
bool FFCodecLibReady(int index);

// A unit's binding of its library's calls, by export name. Per thread (thread_local), so it is
// refreshed without a lock: bound again, every call, whenever the library was loaded again since
// (a reload may place it, or only some of what it carries, elsewhere), so a unit never calls
// through an address of a library that is gone. Bind(api) fills the calls, each with FFBind_, and
// says whether all were found.
template <class Api>
struct FFCodecBinding {
  uint32_t Load = 0;  // the library's load number when bound
  bool All = false;
  Api Calls{};

  template <class BindFn>
  bool Refresh(int lib, BindFn&& bind) {
    const uint32_t load = FFCodecLibLoadNumber(lib);
    if (load != Load || !All) {
      Load = load;
      Calls = Api{};
      All = load != 0 && bind(Calls);
    }
    return All;
  }
  // The bound calls, nullptr when the library did not load completely.
  template <class BindFn>
  const Api* Get(int lib, BindFn&& bind) {
    return Refresh(lib, bind) ? &Calls : nullptr;
  }
};

template <class Fn>
bool FFBind_(int lib, Fn& fn, const char* name) {
  fn = reinterpret_cast<Fn>(FFCodecProcByName_(lib, name));
  return fn != nullptr;
}

// Runs once per run, before the write table is first read: when wmcodec is loaded (or deferred)
// with all its exports and answers that it cannot write, the Windows Media rows leave the write
// table. Asking it loads a deferred library.
void WmvCheckCanWrite();

// Test seam: forgets the loaded state of every library (after FFFreeCodecLib) and lets
// WmvCheckCanWrite run again.
void FFResetCodecLibsForTest();

}  // namespace tavelo
