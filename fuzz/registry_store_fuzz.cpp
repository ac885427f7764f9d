// The settings store file (platform/registry): any file in the store's place, read through the
// store's calls (keys listed to some depth, every value read), then one change written through
// the store's read-modify-write, and everything read again. A file that reads back must keep all
// it held across the change; a damaged one must be set aside and reported, never crash.
//
// Input: byte 0 (bit 0: end the text with the store's own "END <crc>" line, so the parse gets
// past the checksum; bit 1: begin it with the store's header line), then the file's text.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "fuzz/support/fuzz_env.h"
#include "platform/registry/registry.h"

namespace {

using namespace tavelo;
using namespace tavelo::platform;

bool g_reported = false;
void Reported(const std::string&) { g_reported = true; }

uint32_t Crc32(const std::string& text) {
  static uint32_t table[256];
  static bool ready = false;
  if (!ready) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    ready = true;
  }
  uint32_t crc = 0xFFFFFFFFu;
  for (char ch : text) crc = table[(crc ^ static_cast<uint8_t>(ch)) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

// Everything the store shows, by key path: the value names in order with their types and bytes.
using Snapshot = std::map<std::string, std::vector<std::string>>;

void Walk(const std::string& path, int depth, Snapshot& out, int& budget) {
  if (--budget < 0) return;
  std::vector<std::string> names;
  std::vector<std::string>& values = out[path];
  if (RegStoreValueNames(kRegCurrentUser, path, names) == kRegOk) {
    for (const std::string& name : names) {
      RegData data;
      if (RegStoreQueryValue(kRegCurrentUser, path, name, data) != kRegOk)
        fuzz::Broken("the listed value \"" + name + "\" of \"" + path + "\" cannot be read");
      values.push_back(name + '\x01' + std::to_string(data.type) + '\x01' + data.bytes);
    }
  }
  if (depth >= 6) return;
  std::vector<std::string> keys;
  if (RegStoreKeyNames(kRegCurrentUser, path, keys) != kRegOk) return;
  for (const std::string& key : keys) {
    if (key.empty() || key.find('\\') != std::string::npos) fuzz::Broken("the key name \"" + key + "\" is listed");
    Walk(path.empty() ? key : path + "\\" + key, depth + 1, out, budget);
  }
}

// The values of a key but the one the change writes (whatever the case of its name).
std::vector<std::string> WithoutWritten(const std::vector<std::string>& values) {
  std::vector<std::string> kept;
  for (const std::string& v : values) {
    std::string name = v.substr(0, v.find('\x01'));
    for (char& c : name)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (name != "fuzzwritten") kept.push_back(v);
  }
  return kept;
}

Snapshot Read() {
  Snapshot s;
  int budget = 200;
  Walk("", 0, s, budget);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::InitEnvironment();
  SetRegistryReportSink(&Reported);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::InputScope scope;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 2) != 0) text = "TAVELO-REGISTRY 1\n" + text;
  if ((data[0] & 1) != 0) {
    if (!text.empty() && text.back() != '\n') text += '\n';
    char end[32];
    std::snprintf(end, sizeof end, "END %08x\n", Crc32(text));
    text += end;
  }
  const std::string folder = fuzz::PrivateFolder() + "/registry";
  std::filesystem::create_directories(folder);
  fuzz::WriteInput("registry/user.reg", reinterpret_cast<const uint8_t*>(text.data()), text.size());
  SetRegistryFolder(folder);
  g_reported = false;

  const Snapshot before = Read();
  const bool damaged = g_reported;
  // One change through the store: a new value under the root, then a value in a new key.
  const RegData written{rtString, "fuzz"};
  if (RegStoreSetValue(kRegCurrentUser, "", "FuzzWritten", written) != kRegOk)
    fuzz::Broken("a value cannot be written into the store");
  if (RegStoreOpenKey(kRegCurrentUser, "Fuzz\\Key", true) != kRegOk) fuzz::Broken("a key cannot be made");
  Snapshot after = Read();
  RegData back;
  if (RegStoreQueryValue(kRegCurrentUser, "", "FuzzWritten", back) != kRegOk || back.type != written.type ||
      back.bytes != written.bytes)
    fuzz::Broken("the value written does not read back");
  if (!damaged) {
    // Nothing the file held is lost or changed by the change (the walk's budget may cut both
    // reads at different keys, so only keys read both times are compared).
    for (const auto& [path, values] : before) {
      auto it = after.find(path);
      if (it == after.end()) continue;
      if (WithoutWritten(it->second) != WithoutWritten(values)) fuzz::Broken("the values of \"" + path + "\" changed when another value was written");
    }
  }
  SetRegistryFolder("");
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return 0;
}
