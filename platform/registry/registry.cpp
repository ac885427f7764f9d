#include "platform/registry/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "base/posix_files.h"

namespace tavelo::platform {

namespace {

// A settings store is a few kilobytes; anything far larger is not one of ours.
constexpr int64_t kMaxStoreBytes = 64ll << 20;
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;
constexpr size_t kMaxDepth = 512;  // the system's own limit on key nesting
// Version 1 named the full path of every key on its line, so deep keys grew the file with the
// square of their depth; version 2 names a key by its depth and its own name only. Both read.
constexpr const char* kHeaderV1 = "TAVELO-REGISTRY 1";
constexpr const char* kHeader = "TAVELO-REGISTRY 2";
// Success without a change: nothing needs to be written.
constexpr int32_t kUnchanged = -1;

std::string Fold(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

struct Value {
  std::string name;
  RegData data;
};

struct Node {
  std::string name;
  std::map<std::string, std::unique_ptr<Node>> keys;  // by folded name: sorted without case
  std::vector<Value> values;                          // in the order first written
  // Folded value name -> its place in values: a key with many values is read in linear time.
  std::unordered_map<std::string, size_t> valueIndex;

  Value* FindValue(const std::string& valueName) {
    auto it = valueIndex.find(Fold(valueName));
    return it == valueIndex.end() ? nullptr : &values[it->second];
  }
  // The caller has made sure no value of that name exists.
  void AddValue(Value v) {
    valueIndex.emplace(Fold(v.name), values.size());
    values.push_back(std::move(v));
  }
  bool RemoveValue(const std::string& valueName) {
    auto it = valueIndex.find(Fold(valueName));
    if (it == valueIndex.end()) return false;
    const size_t at = it->second;
    valueIndex.erase(it);
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(at));
    for (auto& [folded, place] : valueIndex)
      if (place > at) --place;
    return true;
  }
  Node* Child(const std::string& keyName) const {
    auto it = keys.find(Fold(keyName));
    return it == keys.end() ? nullptr : it->second.get();
  }
  Node* AddChild(const std::string& keyName) {
    auto& slot = keys[Fold(keyName)];
    if (!slot) {
      slot = std::make_unique<Node>();
      slot->name = keyName;
    }
    return slot.get();
  }
};

bool SplitPath(const std::string& path, std::vector<std::string>& parts) {
  parts.clear();
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) {
      if (end - start > kMaxKeyName) return false;
      parts.push_back(path.substr(start, end - start));
    }
    start = end + 1;
  }
  return parts.size() <= kMaxDepth;
}

Node* FindNode(Node* root, const std::vector<std::string>& parts) {
  Node* n = root;
  for (const std::string& p : parts) {
    if (n == nullptr) break;
    n = n->Child(p);
  }
  return n;
}

// ---- CRC-32 (the zlib polynomial) over the store text, so a damaged file is recognised.
uint32_t Crc32(const char* data, size_t size) {
  static uint32_t table[256];
  static std::once_flag once;
  std::call_once(once, [] {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
  });
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ static_cast<uint8_t>(data[i])) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

// ---- Text form of the store.
const char kHex[] = "0123456789abcdef";

void AppendQuoted(std::string& out, const std::string& text) {
  out += '"';
  for (char ch : text) {
    const auto c = static_cast<uint8_t>(ch);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  out += '"';
}

std::string ToHex(const std::string& bytes) {
  std::string r;
  r.reserve(bytes.size() * 2);
  for (char ch : bytes) {
    const auto c = static_cast<uint8_t>(ch);
    r += kHex[c >> 4];
    r += kHex[c & 15];
  }
  return r;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool FromHex(const std::string& hex, std::string& bytes) {
  if (hex.size() % 2 != 0) return false;
  bytes.clear();
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes += static_cast<char>(hi * 16 + lo);
  }
  return true;
}

uint32_t DwordOf(const std::string& bytes) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4 && i < bytes.size(); ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << (8 * i);
  return v;
}

// A key line is "K <depth>" and, below the root, the key's own name: its parent is the key of
// the line before it at depth - 1 (keys are written parent first).
void SerializeNode(const Node& n, size_t depth, std::string& out) {
  out += "K ";
  out += std::to_string(depth);
  if (depth > 0) {
    out += ' ';
    AppendQuoted(out, n.name);
  }
  out += '\n';
  for (const Value& v : n.values) {
    out += "V ";
    AppendQuoted(out, v.name);
    switch (v.data.type) {
      case rtString:
        out += " sz ";
        AppendQuoted(out, v.data.bytes);
        break;
      case rtDword: {
        char buf[16];
        std::snprintf(buf, sizeof buf, " dword %08x", DwordOf(v.data.bytes));
        out += buf;
        break;
      }
      default:
        out += " bin ";
        AppendQuoted(out, ToHex(v.data.bytes));
        break;
    }
    out += '\n';
  }
  for (const auto& [folded, child] : n.keys) SerializeNode(*child, depth + 1, out);
}

std::string Serialize(const Node& root) {
  std::string out = kHeader;
  out += '\n';
  SerializeNode(root, 0, out);
  char end[32];
  std::snprintf(end, sizeof end, "END %08x\n", Crc32(out.data(), out.size()));
  return out + end;
}

struct Token {
  bool quoted = false;
  std::string text;
};

bool Tokenize(const std::string& line, std::vector<Token>& tokens) {
  tokens.clear();
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ') {
      ++i;
      continue;
    }
    Token t;
    if (line[i] == '"') {
      t.quoted = true;
      ++i;
      bool closed = false;
      while (i < line.size()) {
        const char c = line[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c != '\\') {
          t.text += c;
          continue;
        }
        if (i >= line.size()) return false;
        const char e = line[i++];
        if (e == '\\' || e == '"') {
          t.text += e;
        } else if (e == 'x' && i + 1 < line.size() && HexDigit(line[i]) >= 0 && HexDigit(line[i + 1]) >= 0) {
          t.text += static_cast<char>(HexDigit(line[i]) * 16 + HexDigit(line[i + 1]));
          i += 2;
        } else {
          return false;
        }
      }
      if (!closed) return false;
      if (i < line.size() && line[i] != ' ') return false;
    } else {
      while (i < line.size() && line[i] != ' ') {
        if (line[i] == '"') return false;
        t.text += line[i++];
      }
    }
    tokens.push_back(std::move(t));
  }
  return true;
}

// Checks the last line of a store file, "END <crc>" over everything before it; endPos is where
// that line starts.
bool CheckEndMark(const std::string& text, size_t& endPos, std::string& reason) {
  if (text.empty() || text.back() != '\n') {
    reason = "the file is incomplete";
    return false;
  }
  const size_t lastStart = text.rfind('\n', text.size() - 2);
  endPos = lastStart == std::string::npos ? 0 : lastStart + 1;
  const std::string endLine = text.substr(endPos, text.size() - 1 - endPos);
  if (endLine.size() != 12 || endLine.compare(0, 4, "END ") != 0) {
    reason = "the end mark is missing";
    return false;
  }
  std::string crcBytes;
  if (!FromHex(endLine.substr(4), crcBytes) || crcBytes.size() != 4) {
    reason = "the end mark is damaged";
    return false;
  }
  const uint32_t stored = static_cast<uint32_t>(std::strtoul(endLine.c_str() + 4, nullptr, 16));
  if (Crc32(text.data(), endPos) != stored) {
    reason = "the checksum does not match";
    return false;
  }
  return true;
}

bool BadKeyName(const Token& t) {
  return !t.quoted || t.text.empty() || t.text.size() > kMaxKeyName || t.text.find('\\') != std::string::npos;
}

// A key line of version 2, "K depth name": the key named below the key of the last line at the
// depth above (depth 0, without a name: the root). False when the line is bad.
bool ReadKeyByDepth(const std::vector<Token>& tokens, Node& root, std::vector<Node*>& keyPath, Node*& current) {
  size_t depth = 0;
  bool ok = tokens.size() >= 2 && !tokens[1].quoted && !tokens[1].text.empty() && tokens[1].text.size() <= 4;
  for (char c : ok ? tokens[1].text : std::string()) {
    ok = ok && c >= '0' && c <= '9';
    depth = depth * 10 + static_cast<size_t>(c - '0');
  }
  ok = ok && depth <= kMaxDepth && depth <= keyPath.size() && tokens.size() == (depth == 0 ? 2u : 3u);
  if (!ok || (depth > 0 && BadKeyName(tokens[2]))) return false;
  keyPath.resize(depth);
  current = depth == 0 ? &root : keyPath.back()->AddChild(tokens[2].text);
  keyPath.push_back(current);
  return true;
}

// A key line of version 1, "K name name ...": the key by its whole path from the root. What is
// wrong with the line, nullptr when nothing.
const char* ReadKeyByPath(const std::vector<Token>& tokens, Node& root, Node*& current) {
  if (tokens.size() - 1 > kMaxDepth) return "nests keys too deep";
  current = &root;
  for (size_t k = 1; k < tokens.size(); ++k) {
    if (BadKeyName(tokens[k])) return "holds a bad key name";
    current = current->AddChild(tokens[k].text);
  }
  return nullptr;
}

// A value line, "V name type data", into v; false when it is bad or key holds the name already.
bool ReadValue(const std::vector<Token>& tokens, Node& key, Value& v) {
  v.name = tokens[1].text;
  const std::string& type = tokens[2].text;
  if (tokens[2].quoted || key.FindValue(v.name) != nullptr) return false;
  if (type == "sz" && tokens[3].quoted) {
    v.data.type = rtString;
    v.data.bytes = tokens[3].text;
    return true;
  }
  if (type == "dword" && !tokens[3].quoted && tokens[3].text.size() == 8) {
    std::string be;
    v.data.type = rtDword;
    if (!FromHex(tokens[3].text, be)) return false;
    v.data.bytes.assign(be.rbegin(), be.rend());  // stored as written: big-endian digits
    return true;
  }
  if (type == "bin" && tokens[3].quoted) {
    v.data.type = rtBinary;
    return FromHex(tokens[3].text, v.data.bytes);
  }
  return false;
}

// Parses a store file. On failure reason says what was wrong.
bool Parse(const std::string& text, Node& root, std::string& reason) {
  size_t endPos = 0;
  if (!CheckEndMark(text, endPos, reason)) return false;
  size_t pos = 0;
  // The next line of the body (without its '\n'); false after the last one.
  auto nextLine = [&](std::string& line) {
    if (pos >= endPos) return false;
    const size_t nl = text.find('\n', pos);  // the body ends with '\n': nl < endPos
    line.assign(text, pos, nl - pos);
    pos = nl + 1;
    return true;
  };
  std::string line;
  if (!nextLine(line) || (line != kHeader && line != kHeaderV1)) {
    reason = "the header is missing";
    return false;
  }
  const bool byDepth = line == kHeader;
  std::vector<Node*> keyPath{&root};  // the key of the last line at each depth (version 2)
  Node* current = nullptr;
  std::vector<Token> tokens;
  int lineNo = 1;
  const auto fail = [&reason, &lineNo](const char* what) {
    reason = "line " + std::to_string(lineNo) + " " + what;
    return false;
  };
  while (nextLine(line)) {
    ++lineNo;
    if (!Tokenize(line, tokens) || tokens.empty() || tokens[0].quoted) return fail("cannot be read");
    if (tokens[0].text == "K" && byDepth) {
      if (!ReadKeyByDepth(tokens, root, keyPath, current)) return fail("holds a bad key");
    } else if (tokens[0].text == "K") {
      if (const char* fault = ReadKeyByPath(tokens, root, current)) return fail(fault);
    } else if (tokens[0].text == "V" && current != nullptr && tokens.size() == 4 && tokens[1].quoted) {
      Value v;
      if (!ReadValue(tokens, *current, v)) return fail("holds a bad value");
      current->AddValue(std::move(v));
    } else {
      return fail("is not understood");
    }
  }
  return true;
}

// ---- Files, stamps and the lock.
struct FileStamp {
  bool present = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  int64_t mtimeNs = 0;
  int64_t ctimeNs = 0;
  bool operator==(const FileStamp& o) const {
    return present == o.present && dev == o.dev && ino == o.ino && size == o.size && mtimeNs == o.mtimeNs &&
           ctimeNs == o.ctimeNs;
  }
};

FileStamp StampOf(const struct stat& st) {
  FileStamp s;
  s.present = true;
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.size = st.st_size;
  s.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  s.ctimeNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return s;
}

FileStamp StampOfPath(const std::string& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return FileStamp{};
  return StampOf(st);
}

using posix::FolderOf;
using posix::MakeFolders;
using posix::SyncFolder;

// An exclusive lock on "<store>.lock", held for one operation. flock locks belong to the open
// file description, so every operation opens the lock file afresh; the in-process mutex keeps
// the threads of one process apart.
class StoreLock {
 public:
  StoreLock() = default;
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;
  ~StoreLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  // On failure problem says why. A lock file that is not a regular file (a FIFO, a folder) is
  // refused without blocking.
  bool Acquire(const std::string& lockFile, std::string& problem) {
    fd_ = posix::OpenRegularFile(lockFile, O_RDWR | O_CREAT, 0600);
    if (fd_ < 0) {
      problem = "the lock file " + lockFile + " cannot be opened: " +
                (errno == EINVAL ? std::string("it is not a regular file") : std::string(std::strerror(errno)));
      return false;
    }
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        problem = "the lock file " + lockFile + " cannot be locked: " + std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        return false;
      }
    }
    return true;
  }

 private:
  int fd_ = -1;
};

bool ReadWhole(int fd, int64_t size, std::string& out) {
  out.assign(static_cast<size_t>(size), '\0');
  size_t done = 0;
  if (!posix::ReadAll(fd, out.data(), out.size(), done)) return false;
  out.resize(done);
  return true;
}

// ---- Process-wide state (under g_mutex).
std::mutex g_mutex;
std::string g_folderOverride;
std::string g_cpuInfoFile;
RegReportSink g_sink = nullptr;
int g_tempSerial = 0;

struct Hive {
  RegRoot root = 0;
  std::unique_ptr<Node> tree;
  bool valid = false;  // the tree is what the file held at stamp
  std::string file;
  FileStamp stamp;
  std::string lastProblem;  // the last failure reported for reading, so reads report it once
};
Hive g_user{kRegCurrentUser, nullptr, false, {}, {}, {}};
Hive g_classes{kRegClassesRoot, nullptr, false, {}, {}, {}};
std::unique_ptr<Node> g_machine;
std::function<bool()> g_writeHook;
std::string g_setAside;  // where the last damaged store file was kept, until taken

// One open transaction at a time: the store file of its root stays locked, reads and changes
// work on the tree read at its start, and its end writes that tree once.
struct Transaction {
  RegRoot root = 0;
  int depth = 0;
  bool dirty = false;
  bool failed = false;
  std::string file;
  std::unique_ptr<StoreLock> lock;
};
Transaction g_txn;

bool InTransaction(RegRoot root) { return g_txn.depth > 0 && g_txn.root == root; }

void Report(const std::string& text) {
  if (g_sink != nullptr) {
    g_sink(text);
  } else {
    std::fprintf(stderr, "tavelo: %s\n", text.c_str());
  }
}

std::string DefaultFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/tavelo";
  const char* home = std::getenv("HOME");
  std::string h = home != nullptr ? home : "";
  if (h.empty()) {
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) h = pw->pw_dir;
  }
  if (h.empty()) return "";
  return h + "/.config/tavelo";
}

std::string FolderLocked() { return g_folderOverride.empty() ? DefaultFolder() : g_folderOverride; }

std::string FileLocked(RegRoot root) {
  const std::string folder = FolderLocked();
  if (folder.empty()) return "";
  if (root == kRegCurrentUser) return folder + "/user.reg";
  if (root == kRegClassesRoot) return folder + "/classes.reg";
  return "";
}

Hive* WritableHive(RegRoot root) {
  if (root == kRegCurrentUser) return &g_user;
  if (root == kRegClassesRoot) return &g_classes;
  return nullptr;
}

// Renames a damaged store aside. The caller holds the file lock.
bool SetAside(const std::string& file, const std::string& reason) {
  char stamp[32];
  const time_t now = ::time(nullptr);
  struct tm tmNow {};
  ::localtime_r(&now, &tmNow);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tmNow);
  std::string target;
  for (int n = 1; n < 1000; ++n) {
    target = file + ".damaged-" + stamp + (n > 1 ? "-" + std::to_string(n) : "");
    struct stat st {};
    if (::lstat(target.c_str(), &st) != 0) break;
  }
  if (::rename(file.c_str(), target.c_str()) != 0) {
    Report("Registry: the settings file " + file + " is damaged (" + reason +
           ") and cannot be renamed aside: " + std::strerror(errno) + "; settings stay read-only.");
    return false;
  }
  SyncFolder(FolderOf(file));
  g_setAside = target;
  Report("Registry: the settings file " + file + " is damaged (" + reason + "); it was kept as " + target +
         " and the settings start empty.");
  return true;
}

// Reports a failure to reach the store; returns kRegIoFailed.
int32_t ReportFailure(const std::string& problem) {
  Report("Registry: " + problem + ".");
  return kRegIoFailed;
}

// The same for a read: the failure is reported once, not at every read.
int32_t ReportReadFailure(Hive& h, const std::string& problem) {
  if (problem == h.lastProblem) return kRegIoFailed;
  h.lastProblem = problem;
  return ReportFailure(problem);
}

// Reads the store file into the cache. With the lock held a damaged file is renamed aside;
// without it (the folder is not writable) the damage is only reported. A file that cannot be
// opened at all leaves problem set (the caller reports it).
int32_t LoadFile(Hive& h, const std::string& file, bool locked, std::string& problem) {
  h.valid = false;
  h.tree = std::make_unique<Node>();
  h.file = file;
  // Without blocking: a FIFO in the store's place must not stop every read of the settings.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno != ENOENT) {
      problem = "the settings file " + file + " cannot be opened: " + std::strerror(errno);
      return kRegIoFailed;
    }
    h.stamp = FileStamp{};
    h.valid = true;
    return kRegOk;
  }
  struct stat st {};
  std::string text, reason;
  bool ok = false;
  if (::fstat(fd, &st) != 0) {
    problem = "the settings file " + file + " cannot be read: " + std::strerror(errno);
    ::close(fd);
    return kRegIoFailed;
  }
  if (!S_ISREG(st.st_mode)) {
    reason = "it is not a regular file";
  } else if (st.st_size > kMaxStoreBytes) {
    reason = "it is " + std::to_string(static_cast<int64_t>(st.st_size)) + " bytes long";
  } else if (!ReadWhole(fd, st.st_size, text)) {
    problem = "the settings file " + file + " cannot be read: " + std::strerror(errno);
    ::close(fd);
    return kRegIoFailed;
  } else {
    ok = Parse(text, *h.tree, reason);
  }
  ::close(fd);
  if (ok) {
    h.stamp = StampOf(st);
    h.valid = true;
    return kRegOk;
  }
  h.tree = std::make_unique<Node>();
  if (!locked) {
    // Reads see no settings; the next write, which needs the lock anyway, renames the file
    // aside. Remembering the stamp reports this version of the file once.
    Report("Registry: the settings file " + file + " is damaged (" + reason + ").");
    h.stamp = StampOf(st);
    h.valid = true;
    return kRegIoFailed;
  }
  if (!SetAside(file, reason)) return kRegIoFailed;
  h.stamp = FileStamp{};
  h.valid = true;
  return kRegOk;
}

// Makes the cache of a writable root current for reading.
int32_t Refresh(Hive& h) {
  if (InTransaction(h.root) && h.tree) return kRegOk;  // the transaction holds the lock and the tree
  const std::string file = FileLocked(h.root);
  if (file.empty()) {
    h.tree = std::make_unique<Node>();
    h.valid = false;
    return kRegOk;
  }
  if (h.valid && h.file == file && StampOfPath(file) == h.stamp) return kRegOk;
  // Reading under the lock keeps the damage handling from racing a writer. A folder that does
  // not exist holds no settings, and reading never creates it.
  struct stat st {};
  if (::stat(FolderOf(file).c_str(), &st) != 0) {
    h.tree = std::make_unique<Node>();
    h.file = file;
    h.stamp = FileStamp{};
    h.valid = true;
    return kRegOk;
  }
  // Without the lock (a read-only folder) the file is still read; only damage handling waits.
  StoreLock lock;
  std::string problem;
  const bool locked = lock.Acquire(file + ".lock", problem);
  problem.clear();
  const int32_t rc = LoadFile(h, file, locked, problem);
  if (!problem.empty()) return ReportReadFailure(h, problem);
  if (rc == kRegOk) h.lastProblem.clear();
  return rc;
}

void RemoveStaleTemps(const std::string& file) {
  // Temporary files are only made while the lock is held, so any found now are left over from
  // a writer that died.
  const std::string folder = FolderOf(file), prefix = posix::NameOf(file) + ".tmp-";
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* e = ::readdir(dir)) {
    if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) ::unlink((folder + "/" + e->d_name).c_str());
  }
  ::closedir(dir);
}

int32_t WriteStore(Hive& h, const std::string& file, const std::string& text) {
  const std::string temp =
      file + ".tmp-" + std::to_string(static_cast<long>(::getpid())) + "-" + std::to_string(++g_tempSerial);
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return ReportFailure("the settings file " + temp + " cannot be created: " + std::strerror(errno));
  bool ok = posix::WriteSyncClose(fd, text.data(), text.size());
  int err = ok ? 0 : errno;
  if (ok && g_writeHook && !g_writeHook()) {
    ok = false;
    err = EIO;
  }
  if (ok && !posix::RenameSynced(temp, file)) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return ReportFailure("the settings file " + file + " cannot be written: " + std::strerror(err));
  }
  h.stamp = StampOfPath(file);
  h.file = file;
  h.valid = h.stamp.present;
  return kRegOk;
}

// One change of a writable root: lock, read the current file, change, write, unlock. change
// returns kRegOk (write), kUnchanged (nothing to write) or an error, and leaves the tree alone
// when it fails.
// Checks a tree's size before it is written: the reader would judge a larger file damaged and
// set every setting aside, so the change is refused and the file stays as it was.
int32_t CheckSize(const std::string& file, const std::string& text) {
  if (static_cast<int64_t>(text.size()) <= kMaxStoreBytes) return kRegOk;
  return ReportFailure("a change was refused: the settings file " + file + " would grow to " +
                       std::to_string(text.size()) + " bytes, more than a settings file may hold");
}

template <class Change>
int32_t Mutate(RegRoot root, Change&& change) {
  Hive* h = WritableHive(root);
  if (h == nullptr) return root == kRegLocalMachine ? kRegAccessDenied : kRegInvalidParam;
  if (InTransaction(root)) {
    // Changed in the tree only; the transaction's end writes it.
    if (g_txn.failed) return kRegIoFailed;
    if (!h->tree) h->tree = std::make_unique<Node>();
    const int32_t rc = change(*h->tree);
    if (rc == kUnchanged) return kRegOk;
    if (rc == kRegOk) g_txn.dirty = true;
    return rc;
  }
  const std::string file = FileLocked(root);
  if (file.empty()) return ReportFailure("there is no folder for the settings (HOME is not set)");
  if (!MakeFolders(FolderOf(file)))
    return ReportFailure("the settings folder " + FolderOf(file) + " cannot be made: " + std::strerror(errno));
  StoreLock lock;
  std::string problem;
  if (!lock.Acquire(file + ".lock", problem)) return ReportFailure(problem);
  // A change always starts from the file as it is now: the stamp of a file could in principle
  // repeat (a reused inode of the same size within one clock tick), and a change made to a stale
  // tree would lose another instance's values.
  int32_t rc = LoadFile(*h, file, true, problem);
  if (!problem.empty()) return ReportFailure(problem);
  if (rc != kRegOk) return rc;
  rc = change(*h->tree);
  if (rc == kUnchanged) return kRegOk;
  if (rc != kRegOk) return rc;
  const std::string text = Serialize(*h->tree);
  if (CheckSize(file, text) != kRegOk) {
    h->valid = false;
    return kRegIoFailed;
  }
  RemoveStaleTemps(file);
  rc = WriteStore(*h, file, text);
  if (rc != kRegOk) h->valid = false;  // the cache no longer matches the file: read it again
  return rc;
}

// ---- The machine root, filled from the processor description.
std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r')) --b;
  return s.substr(a, b - a);
}

std::unique_ptr<Node> BuildMachine() {
  auto root = std::make_unique<Node>();
  Node* cpus = root->AddChild("HARDWARE")->AddChild("DESCRIPTION")->AddChild("System")->AddChild("CentralProcessor");
  std::ifstream in(g_cpuInfoFile.empty() ? std::string("/proc/cpuinfo") : g_cpuInfoFile);
  std::string line, index, name;
  int rank = 0;  // how good the name found so far is: "model name" wins over the fallbacks
  auto flush = [&] {
    if (!index.empty()) {
      Node* cpu = cpus->AddChild(index);
      if (!name.empty()) cpu->AddValue(Value{"ProcessorNameString", RegData{rtString, name}});
    }
    index.clear();
    name.clear();
    rank = 0;
  };
  while (std::getline(in, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) {
      if (Trim(line).empty()) flush();
      continue;
    }
    const std::string key = Trim(line.substr(0, colon)), value = Trim(line.substr(colon + 1));
    if (key == "processor") {
      if (!index.empty()) flush();
      bool digits = !value.empty();
      for (char c : value) digits = digits && c >= '0' && c <= '9';
      if (digits && value.size() < 6) index = value;
    } else {
      const int r = key == "model name" ? 3 : key == "cpu model" ? 2 : key == "Processor" ? 1 : 0;
      if (r > rank && !value.empty()) {
        rank = r;
        name = value;
      }
    }
  }
  flush();
  return root;
}

Node* MachineTree() {
  if (!g_machine) g_machine = BuildMachine();
  return g_machine.get();
}

// The tree of a root for reading; nullptr for an unknown root.
Node* ReadTree(RegRoot root) {
  if (root == kRegLocalMachine) return MachineTree();
  Hive* h = WritableHive(root);
  if (h == nullptr) return nullptr;
  Refresh(*h);
  if (!h->tree) h->tree = std::make_unique<Node>();
  return h->tree.get();
}

bool ValidRoot(RegRoot root) {
  return root == kRegCurrentUser || root == kRegClassesRoot || root == kRegLocalMachine;
}

template <class Work>
int32_t Guarded(Work&& work) {
  std::lock_guard<std::mutex> guard(g_mutex);
  try {
    return work();
  } catch (...) {
    // Out of memory half-way through a change: report a failure, never let it escape, and
    // read the files again next time since the cached trees may be half changed.
    g_user.valid = g_classes.valid = false;
    return kRegIoFailed;
  }
}

}  // namespace

int32_t RegStoreOpenKey(RegRoot root, const std::string& path, bool create) {
  std::vector<std::string> parts;
  if (!ValidRoot(root) || !SplitPath(path, parts)) return kRegInvalidParam;
  return Guarded([&]() -> int32_t {
    if (FindNode(ReadTree(root), parts) != nullptr) return kRegOk;
    if (!create) return kRegNotFound;
    return Mutate(root, [&](Node& tree) -> int32_t {
      Node* n = &tree;
      bool added = false;
      for (const std::string& p : parts) {
        if (Node* c = n->Child(p)) {
          n = c;
        } else {
          n = n->AddChild(p);
          added = true;
        }
      }
      return added ? kRegOk : kUnchanged;
    });
  });
}

bool RegStoreKeyExists(RegRoot root, const std::string& path) { return RegStoreOpenKey(root, path, false) == kRegOk; }

int32_t RegStoreKeyNames(RegRoot root, const std::string& path, std::vector<std::string>& names) {
  names.clear();
  std::vector<std::string> parts;
  if (!ValidRoot(root) || !SplitPath(path, parts)) return kRegInvalidParam;
  return Guarded([&]() -> int32_t {
    Node* n = FindNode(ReadTree(root), parts);
    if (n == nullptr) return kRegNotFound;
    for (const auto& [folded, child] : n->keys) names.push_back(child->name);
    return kRegOk;
  });
}

int32_t RegStoreEnumKey(RegRoot root, const std::string& path, uint32_t index, std::string& name) {
  std::vector<std::string> names;
  const int32_t rc = RegStoreKeyNames(root, path, names);
  if (rc != kRegOk) return rc;
  if (index >= names.size()) return kRegNoMoreItems;
  name = names[index];
  return kRegOk;
}

int32_t RegStoreValueNames(RegRoot root, const std::string& path, std::vector<std::string>& names) {
  names.clear();
  std::vector<std::string> parts;
  if (!ValidRoot(root) || !SplitPath(path, parts)) return kRegInvalidParam;
  return Guarded([&]() -> int32_t {
    Node* n = FindNode(ReadTree(root), parts);
    if (n == nullptr) return kRegNotFound;
    for (const Value& v : n->values) names.push_back(v.name);
    return kRegOk;
  });
}

int32_t RegStoreQueryValue(RegRoot root, const std::string& path, const std::string& name, RegData& data) {
  std::vector<std::string> parts;
  if (!ValidRoot(root) || !SplitPath(path, parts)) return kRegInvalidParam;
  return Guarded([&]() -> int32_t {
    Node* n = FindNode(ReadTree(root), parts);
    if (n == nullptr) return kRegNotFound;
    const Value* v = n->FindValue(name);
    if (v == nullptr) return kRegNotFound;
    data = v->data;
    return kRegOk;
  });
}

int32_t RegStoreSetValue(RegRoot root, const std::string& path, const std::string& name, const RegData& data) {
  std::vector<std::string> parts;
  if (!ValidRoot(root) || !SplitPath(path, parts) || name.size() > kMaxValueName) return kRegInvalidParam;
  if (data.type != rtString && data.type != rtDword && data.type != rtBinary) return kRegInvalidParam;
  if (data.type == rtDword && data.bytes.size() != 4) return kRegInvalidParam;
  return Guarded([&]() -> int32_t {
    return Mutate(root, [&](Node& tree) -> int32_t {
      Node* n = FindNode(&tree, parts);
      if (n == nullptr) return kRegNotFound;
      if (Value* v = n->FindValue(name)) {
        if (v->data.type == data.type && v->data.bytes == data.bytes) return kUnchanged;
        v->data = data;
      } else {
        n->AddValue(Value{name, data});
      }
      return kRegOk;
    });
  });
}

int32_t RegStoreDeleteValue(RegRoot root, const std::string& path, const std::string& name) {
  std::vector<std::string> parts;
  if (!ValidRoot(root) || !SplitPath(path, parts)) return kRegInvalidParam;
  return Guarded([&]() -> int32_t {
    return Mutate(root, [&](Node& tree) -> int32_t {
      Node* n = FindNode(&tree, parts);
      if (n == nullptr) return kRegNotFound;
      return n->RemoveValue(name) ? kRegOk : kRegNotFound;
    });
  });
}

int32_t RegStoreDeleteKey(RegRoot root, const std::string& path) {
  std::vector<std::string> parts;
  if (!ValidRoot(root) || !SplitPath(path, parts)) return kRegInvalidParam;
  if (parts.empty()) return kRegBadKey;
  return Guarded([&]() -> int32_t {
    return Mutate(root, [&](Node& tree) -> int32_t {
      const std::vector<std::string> parentParts(parts.begin(), parts.end() - 1);
      Node* parent = FindNode(&tree, parentParts);
      Node* n = parent == nullptr ? nullptr : parent->Child(parts.back());
      if (n == nullptr) return kRegNotFound;
      if (!n->keys.empty()) return kRegAccessDenied;
      parent->keys.erase(Fold(parts.back()));
      return kRegOk;
    });
  });
}

int32_t RegStoreBeginTransaction(RegRoot root) {
  return Guarded([&]() -> int32_t {
    Hive* h = WritableHive(root);
    if (h == nullptr) return root == kRegLocalMachine ? kRegAccessDenied : kRegInvalidParam;
    if (g_txn.depth > 0) {
      if (g_txn.root != root) return kRegInvalidParam;
      ++g_txn.depth;
      return kRegOk;
    }
    const std::string file = FileLocked(root);
    if (file.empty()) return ReportFailure("there is no folder for the settings (HOME is not set)");
    if (!MakeFolders(FolderOf(file)))
      return ReportFailure("the settings folder " + FolderOf(file) + " cannot be made: " + std::strerror(errno));
    auto lock = std::make_unique<StoreLock>();
    std::string problem;
    if (!lock->Acquire(file + ".lock", problem)) return ReportFailure(problem);
    const int32_t rc = LoadFile(*h, file, true, problem);
    if (!problem.empty()) return ReportFailure(problem);
    if (rc != kRegOk) return rc;
    g_txn.root = root;
    g_txn.depth = 1;
    g_txn.dirty = false;
    g_txn.failed = false;
    g_txn.file = file;
    g_txn.lock = std::move(lock);
    return kRegOk;
  });
}

int32_t RegStoreEndTransaction(RegRoot root) {
  return Guarded([&]() -> int32_t {
    if (!InTransaction(root)) return kRegInvalidParam;
    if (--g_txn.depth > 0) return kRegOk;
    Hive& h = *WritableHive(root);
    int32_t rc = kRegOk;
    if (g_txn.dirty && !g_txn.failed) {
      const std::string text = Serialize(*h.tree);
      rc = CheckSize(g_txn.file, text);
      if (rc == kRegOk) {
        RemoveStaleTemps(g_txn.file);
        rc = WriteStore(h, g_txn.file, text);
      }
    }
    if (rc != kRegOk) h.valid = false;  // the cache no longer matches the file: read it again
    g_txn.lock.reset();
    g_txn = Transaction{};
    return rc;
  });
}

void SetRegistryWriteHook(std::function<bool()> hook) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_writeHook = std::move(hook);
}

std::string TakeRegistrySetAside() {
  std::lock_guard<std::mutex> guard(g_mutex);
  std::string kept;
  kept.swap(g_setAside);
  return kept;
}

void SetRegistryFolder(const std::string& folder) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_folderOverride = folder;
  g_user.valid = g_classes.valid = false;
}

std::string RegistryFolder() {
  std::lock_guard<std::mutex> guard(g_mutex);
  return FolderLocked();
}

std::string RegistryFile(RegRoot root) {
  std::lock_guard<std::mutex> guard(g_mutex);
  return FileLocked(root);
}

void SetRegistryReportSink(RegReportSink sink) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_sink = sink;
}

RegReportSink GetRegistryReportSink() {
  std::lock_guard<std::mutex> guard(g_mutex);
  return g_sink;
}

void SetCpuInfoFile(const std::string& path) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_cpuInfoFile = path;
  g_machine.reset();
}

}  // namespace tavelo::platform
