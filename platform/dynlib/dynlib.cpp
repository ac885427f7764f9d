#include "platform/dynlib/dynlib.h"

#include <dlfcn.h>

#include <mutex>

#include "platform/sysinfo/sysinfo.h"

namespace tavelo::platform {

namespace {

std::mutex g_folderLock;
std::string g_folder;  // test override; empty: beside the executable
thread_local std::string t_lastError;

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string LibraryFolder() {
  {
    std::lock_guard<std::mutex> lock(g_folderLock);
    if (!g_folder.empty()) return g_folder;
  }
  std::string exe = ProgramFileName();
  const size_t slash = exe.rfind('/');
  std::string dir = slash == std::string::npos ? std::string("./") : exe.substr(0, slash + 1);
  return dir + "codecs/";
}

void SetLibraryFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(g_folderLock);
  g_folder = folder;
  if (!g_folder.empty() && g_folder.back() != '/') g_folder += '/';
}

std::string LibraryPath(const char* fileName) {
  std::string name = fileName != nullptr ? fileName : "";
  if (name.find('/') != std::string::npos) return name;
  // Windows file names are not case-sensitive; ours are, so the extension is matched both ways.
  if (EndsWith(name, ".dll") || EndsWith(name, ".DLL")) name.resize(name.size() - 4);
  return LibraryFolder() + name + ".so";
}

HMODULE LoadLibrary(const char* fileName) {
  if (fileName == nullptr || *fileName == 0) {
    t_lastError = "no library name";
    return nullptr;
  }
  const std::string path = LibraryPath(fileName);
  // RTLD_LOCAL keeps one codec's symbols from satisfying another's; RTLD_NOW reports a library
  // with unresolved dependencies here rather than at its first call.
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) {
    const char* why = dlerror();
    t_lastError = why != nullptr ? why : path;
    return nullptr;
  }
  t_lastError.clear();
  return h;
}

void* GetProcAddress(HMODULE module, const char* name) {
  if (module == nullptr || name == nullptr) return nullptr;
  dlerror();
  return dlsym(module, name);
}

bool FreeLibrary(HMODULE module) {
  if (module == nullptr) return false;
  return dlclose(module) == 0;
}

std::string LastLibraryError() { return t_lastError; }

}  // namespace tavelo::platform
