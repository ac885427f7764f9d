// Dynamic libraries, the way the program loads its codec libraries: by a Windows file name.
// LoadLibrary("jpegcodec.dll") opens "jpegcodec.so" from the folder "codecs" beside the running
// executable (the build tree has the same layout: <build>/codecs/ next to the programs). A name
// without ".dll" gets ".so" appended; a name that holds a '/' is opened as it stands. Nothing else
// on the system is searched, so a codec library is present exactly when its file is there.
#pragma once
#include <string>

namespace tavelo::platform {

using HMODULE = void*;

// The module handle, or nullptr when the file is missing or cannot be loaded (the reason is
// kept for LastLibraryError). Loading the same file twice gives the same handle, counted.
HMODULE LoadLibrary(const char* fileName);
// The address of an export, or nullptr when the module is nullptr or lacks it.
void* GetProcAddress(HMODULE module, const char* name);
// Drops one count of the module; true on success.
bool FreeLibrary(HMODULE module);

// What a library file offers, told from its file alone (nothing is loaded or run): whether it is
// there, and whether each of the names is an export that GetProcAddress would find once it is
// loaded (its own dynamic symbols and those of the libraries it names as needed, one level down,
// as the loader would find them). kUnknown when the file cannot be read that way (not ELF of this
// machine's word size, no dynamic symbol table, a needed library not found): only a load tells.
enum class LibraryCheck { kMissing, kIncomplete, kComplete, kUnknown };
LibraryCheck CheckLibraryExports(const char* fileName, const char* const* names, int count);

// The full path LoadLibrary opens for a file name.
std::string LibraryPath(const char* fileName);
// The loader's text for the last failed LoadLibrary of this thread (empty after a success).
std::string LastLibraryError();

// The folder searched for codec libraries, with a trailing '/': "<executable's folder>/codecs/"
// unless a test has set another one.
std::string LibraryFolder();
// Test seam: searches folder instead (an empty text restores the default).
void SetLibraryFolder(const std::string& folder);

}  // namespace tavelo::platform
