#include "platform/dynlib/dynlib.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "platform/sysinfo/sysinfo.h"

namespace tavelo::platform {

namespace {

std::mutex g_folderLock;
std::string g_folder;  // test override; empty: beside the executable
thread_local std::string t_lastError;

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// ---- Reading a library's exports from its file ----

// The parts of a shared object the check needs: its visible defined dynamic symbols, the
// libraries it names as needed and its own search path.
struct ElfFacts {
  std::unordered_set<std::string> exports;
  std::vector<std::string> needed;
  std::string runPath;   // DT_RUNPATH, or DT_RPATH when there is no run path
  bool hasRunPath = false;
};

// Sections larger than this are not a codec library's symbol tables: the file is left to a load.
constexpr uint64_t kMaxTableBytes = 64u << 20;

bool ReadAt(int fd, void* buffer, uint64_t size, uint64_t offset) {
  auto* p = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
    if (n <= 0) return false;
    p += n;
    size -= static_cast<uint64_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

// The bytes of a section, checked against the file's size.
bool ReadSection(int fd, uint64_t fileSize, const ElfW(Shdr) & section, std::vector<char>& out) {
  if (section.sh_type == SHT_NOBITS || section.sh_size > kMaxTableBytes || section.sh_offset > fileSize ||
      section.sh_size > fileSize - section.sh_offset)
    return false;
  out.resize(section.sh_size);
  return section.sh_size == 0 || ReadAt(fd, out.data(), section.sh_size, section.sh_offset);
}

// The text at offset in a string table, or nullptr when it does not end inside it.
const char* TableText(const std::vector<char>& table, uint64_t offset) {
  if (offset >= table.size()) return nullptr;
  const void* end = std::memchr(table.data() + offset, 0, table.size() - offset);
  return end != nullptr ? table.data() + offset : nullptr;
}

// False when the file is not a shared object of this machine that can be read this way.
bool ReadElfFacts(const std::string& path, ElfFacts& facts) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
  ElfW(Ehdr) header{};
  if (fileSize < sizeof header || !ReadAt(fd, &header, sizeof header, 0)) return false;
  const unsigned char wordClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
  const uint16_t probe = 1;
  const unsigned char order = *reinterpret_cast<const unsigned char*>(&probe) == 1 ? ELFDATA2LSB : ELFDATA2MSB;
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != wordClass ||
      header.e_ident[EI_DATA] != order || header.e_type != ET_DYN || header.e_shentsize != sizeof(ElfW(Shdr)) ||
      header.e_shnum == 0 || header.e_shoff > fileSize ||
      uint64_t{header.e_shnum} * sizeof(ElfW(Shdr)) > fileSize - header.e_shoff)
    return false;
  std::vector<ElfW(Shdr)> sections(header.e_shnum);
  if (!ReadAt(fd, sections.data(), sections.size() * sizeof(ElfW(Shdr)), header.e_shoff)) return false;
  bool haveSymbols = false;
  for (const ElfW(Shdr) & section : sections) {
    if (section.sh_type != SHT_DYNSYM && section.sh_type != SHT_DYNAMIC) continue;
    if (section.sh_link >= sections.size()) return false;
    std::vector<char> bytes, strings;
    if (!ReadSection(fd, fileSize, section, bytes) || !ReadSection(fd, fileSize, sections[section.sh_link], strings))
      return false;
    if (section.sh_type == SHT_DYNSYM) {
      haveSymbols = true;
      const size_t count = bytes.size() / sizeof(ElfW(Sym));
      for (size_t i = 1; i < count; ++i) {
        ElfW(Sym) sym;
        std::memcpy(&sym, bytes.data() + i * sizeof sym, sizeof sym);
        const unsigned bind = ELF64_ST_BIND(sym.st_info);
        const unsigned type = ELF64_ST_TYPE(sym.st_info);
        const unsigned visibility = ELF64_ST_VISIBILITY(sym.st_other);
        if (sym.st_shndx == SHN_UNDEF || (bind != STB_GLOBAL && bind != STB_WEAK && bind != STB_GNU_UNIQUE) ||
            type == STT_SECTION || type == STT_FILE || (visibility != STV_DEFAULT && visibility != STV_PROTECTED))
          continue;
        if (const char* name = TableText(strings, sym.st_name)) facts.exports.insert(name);
      }
    } else {
      const size_t count = bytes.size() / sizeof(ElfW(Dyn));
      for (size_t i = 0; i < count; ++i) {
        ElfW(Dyn) entry;
        std::memcpy(&entry, bytes.data() + i * sizeof entry, sizeof entry);
        if (entry.d_tag == DT_NULL) break;
        const char* text = TableText(strings, entry.d_un.d_val);
        if (entry.d_tag == DT_NEEDED && text != nullptr) facts.needed.emplace_back(text);
        if (entry.d_tag == DT_RUNPATH && text != nullptr) {
          facts.runPath = text;
          facts.hasRunPath = true;
        }
        if (entry.d_tag == DT_RPATH && text != nullptr && !facts.hasRunPath) facts.runPath = text;
      }
    }
  }
  return haveSymbols;
}

void AppendPathList(const std::string& list, const std::string& origin, std::vector<std::string>& dirs) {
  size_t start = 0;
  while (start <= list.size()) {
    const size_t colon = std::min(list.find(':', start), list.size());
    std::string dir = list.substr(start, colon - start);
    for (const char* token : {"${ORIGIN}", "$ORIGIN"}) {
      for (size_t at = dir.find(token); at != std::string::npos; at = dir.find(token))
        dir.replace(at, std::strlen(token), origin);
    }
    if (!dir.empty()) dirs.push_back(dir);
    start = colon + 1;
  }
}

// Where the loader would look for a needed library of the file at path: the file's run path, the
// environment's library path and the system's folders (the C library's own folder first, which
// on a multiarch system is the architecture's folder).
std::vector<std::string> NeededLibraryDirs(const std::string& path, const ElfFacts& facts) {
  const std::string origin = path.substr(0, path.rfind('/'));
  std::vector<std::string> dirs;
  if (!facts.hasRunPath) AppendPathList(facts.runPath, origin, dirs);
  if (const char* env = std::getenv("LD_LIBRARY_PATH")) AppendPathList(env, origin, dirs);
  if (facts.hasRunPath) AppendPathList(facts.runPath, origin, dirs);
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&::close), &info) != 0 && info.dli_fname != nullptr) {
    std::string libc = info.dli_fname;
    const size_t slash = libc.rfind('/');
    if (slash != std::string::npos && slash > 0) {
      const std::string dir = libc.substr(0, slash);
      dirs.push_back(dir);
      if (dir.rfind("/usr/", 0) != 0) dirs.push_back("/usr" + dir);
    }
  }
  for (const char* dir : {"/lib64", "/usr/lib64", "/lib", "/usr/lib"}) dirs.emplace_back(dir);
  return dirs;
}

}  // namespace

LibraryCheck CheckLibraryExports(const char* fileName, const char* const* names, int count) {
  const std::string path = LibraryPath(fileName);
  struct stat st {};
  if (fileName == nullptr || *fileName == 0 || ::stat(path.c_str(), &st) != 0) return LibraryCheck::kMissing;
  ElfFacts facts;
  if (!ReadElfFacts(path, facts)) return LibraryCheck::kUnknown;
  std::vector<const char*> missing;
  for (int i = 0; i < count; ++i)
    if (names[i] == nullptr || facts.exports.count(names[i]) == 0) missing.push_back(names[i]);
  if (missing.empty()) return LibraryCheck::kComplete;
  if (std::find(missing.begin(), missing.end(), nullptr) != missing.end()) return LibraryCheck::kIncomplete;
  // A library that carries another one unchanged hands out that one's calls: they are found in
  // its needed libraries, first level, as a lookup through the library's handle finds them.
  const std::vector<std::string> dirs = NeededLibraryDirs(path, facts);
  for (const std::string& needed : facts.needed) {
    std::string found;
    if (needed.find('/') != std::string::npos) {
      found = needed;
    } else {
      for (const std::string& dir : dirs)
        if (::access((dir + "/" + needed).c_str(), R_OK) == 0) {
          found = dir + "/" + needed;
          break;
        }
    }
    ElfFacts dependency;
    if (found.empty() || !ReadElfFacts(found, dependency)) return LibraryCheck::kUnknown;
    missing.erase(std::remove_if(missing.begin(), missing.end(),
                                 [&](const char* name) { return dependency.exports.count(name) != 0; }),
                  missing.end());
    if (missing.empty()) return LibraryCheck::kComplete;
  }
  return LibraryCheck::kIncomplete;
}

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
