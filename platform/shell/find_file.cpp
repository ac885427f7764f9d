#include "platform/shell/find_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace tavelo::platform {

class FindHandle {
 public:
  std::string folder;  // with a trailing '/', or "" for the current folder
  std::vector<std::string> names;
  size_t next = 0;
};

namespace {

bool HasWildcards(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

// One character of a UTF-8 text: a lead byte and its continuation bytes. File names need not be
// UTF-8: a byte that begins no multi-byte sequence (ASCII, or a stray continuation byte) is a
// character of its own, so that a '*' never swallows a byte the rest of the pattern must match.
size_t CharLength(const std::string& s, size_t i) {
  const auto lead = static_cast<uint8_t>(s[i]);
  if (lead < 0xC0) return 1;
  const size_t longest = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  size_t n = 1;
  while (n < longest && i + n < s.size() && (static_cast<uint8_t>(s[i + n]) & 0xC0) == 0x80) ++n;
  return n;
}

bool MatchFrom(const std::string& p, size_t pi, const std::string& s, size_t si) {
  // Iterative matcher with one back-tracking point per '*': linear in practice, never
  // exponential for patterns with many stars.
  size_t starP = std::string::npos, starS = 0;
  while (si < s.size()) {
    if (pi < p.size() && p[pi] == '*') {
      starP = pi++;
      starS = si;
    } else if (pi < p.size() && p[pi] == '?') {
      ++pi;
      si += CharLength(s, si);
    } else if (pi < p.size() && p[pi] == s[si]) {
      ++pi;
      ++si;
    } else if (starP != std::string::npos) {
      pi = starP + 1;
      starS += CharLength(s, starS);
      si = starS;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}

timespec BirthOrChange(const struct statx& sx) {
  timespec t{};
  if (sx.stx_mask & STATX_BTIME) {
    t.tv_sec = sx.stx_btime.tv_sec;
    t.tv_nsec = sx.stx_btime.tv_nsec;
  } else {
    t.tv_sec = sx.stx_ctime.tv_sec;
    t.tv_nsec = sx.stx_ctime.tv_nsec;
  }
  return t;
}

bool FillEntry(const std::string& path, const std::string& name, FindEntry& e) {
  struct statx sx {};
  e = FindEntry{};
  e.name = name;
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
    // A link whose target is gone still is an entry of the folder.
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx) != 0) return false;
    e.attr = kAttrReparsePoint;
  } else if (S_ISDIR(sx.stx_mode)) {
    e.attr = kAttrDirectory;
  } else if (S_ISREG(sx.stx_mode)) {
    e.attr = kAttrArchive;
    e.size = static_cast<int64_t>(sx.stx_size);
  } else {
    e.attr = kAttrSystem;
  }
  if (!(sx.stx_mode & S_IWUSR) && !(e.attr & kAttrReparsePoint)) e.attr |= kAttrReadOnly;
  if (!name.empty() && name[0] == '.') e.attr |= kAttrHidden;
  e.creationTime = BirthOrChange(sx);
  e.writeTime = timespec{static_cast<time_t>(sx.stx_mtime.tv_sec), static_cast<long>(sx.stx_mtime.tv_nsec)};
  e.accessTime = timespec{static_cast<time_t>(sx.stx_atime.tv_sec), static_cast<long>(sx.stx_atime.tv_nsec)};
  return true;
}

bool NextOf(FindHandle& h, FindEntry& entry) {
  while (h.next < h.names.size()) {
    const std::string& name = h.names[h.next++];
    if (FillEntry(h.folder + name, name, entry)) return true;  // an entry removed meanwhile is skipped
  }
  return false;
}

}  // namespace

bool WildcardMatch(const std::string& pattern, const std::string& name) {
  if (pattern == "*.*") return true;
  return MatchFrom(pattern, 0, name, 0);
}

std::shared_ptr<FindHandle> FindFirstFile(const std::string& pattern, FindEntry& entry) {
  auto h = std::make_shared<FindHandle>();
  const size_t slash = pattern.rfind('/');
  const std::string mask = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
  h->folder = slash == std::string::npos ? std::string() : pattern.substr(0, slash + 1);
  if (mask.empty() || mask == "." || mask == "..") return nullptr;
  if (!HasWildcards(mask)) {
    h->names.push_back(mask);
  } else {
    DIR* dir = ::opendir(h->folder.empty() ? "." : h->folder.c_str());
    if (dir == nullptr) return nullptr;
    while (const dirent* d = ::readdir(dir)) {
      const std::string name = d->d_name;
      if (name != "." && name != ".." && WildcardMatch(mask, name)) h->names.push_back(name);
    }
    ::closedir(dir);
    std::sort(h->names.begin(), h->names.end());
  }
  if (!NextOf(*h, entry)) return nullptr;
  return h;
}

bool FindNextFile(FindHandle& handle, FindEntry& entry) { return NextOf(handle, entry); }

bool StatEntry(const std::string& path, FindEntry& entry) {
  const size_t slash = path.rfind('/');
  return FillEntry(path, slash == std::string::npos ? path : path.substr(slash + 1), entry);
}

}  // namespace tavelo::platform
