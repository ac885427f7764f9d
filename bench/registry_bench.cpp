// Settings store speed with 60,000 values in one key (the store must read and write such a
// store in well under a second each):
//   BM_StoreRead   a fresh reader's first query: the whole file is read, checked and indexed;
//   BM_StoreWrite  one changed value: lock, read the file again, change, write, sync, rename.
// The store lives in a private folder below /tmp; it is forged once in the store's own text form
// (writing 60,000 values one change at a time would take 60,000 synced writes).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/registry/registry.h"

namespace {

using namespace tavelo::platform;

constexpr int kValues = 60000;

// CRC-32 (the zlib polynomial) of the store text, for the END line.
uint32_t Crc32(const std::string& s) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : s) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  return crc ^ 0xFFFFFFFFu;
}

class Store {
 public:
  Store() {
    char pattern[] = "/tmp/tavelo-registry-bench-XXXXXX";
    folder_ = ::mkdtemp(pattern) != nullptr ? pattern : "";
    SetRegistryFolder(folder_);
    // A key the store writes itself, so that the forged file starts in the current form.
    RegStoreOpenKey(kRegCurrentUser, "Software\\Bench", true);
    RegStoreSetValue(kRegCurrentUser, "Software\\Bench", "Value0", RegData{rtString, "0"});
    std::ifstream in(RegistryFile(kRegCurrentUser), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    text = text.substr(0, text.rfind("END "));
    for (int i = 1; i < kValues; ++i)
      text += "V \"Value" + std::to_string(i) + "\" sz \"setting number " + std::to_string(i) + "\"\n";
    char end[32];
    std::snprintf(end, sizeof end, "END %08x\n", Crc32(text));
    std::ofstream(RegistryFile(kRegCurrentUser), std::ios::binary) << text << end;
    bytes_ = static_cast<int64_t>(text.size());
  }
  ~Store() {
    SetRegistryFolder("");
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  const std::string& Folder() const { return folder_; }
  int64_t Bytes() const { return bytes_; }

 private:
  std::string folder_;
  int64_t bytes_ = 0;
};

Store& TheStore() {
  static Store store;
  return store;
}

void BM_StoreRead(benchmark::State& state) {
  Store& store = TheStore();
  RegData data;
  for (auto _ : state) {
    SetRegistryFolder(store.Folder());  // forgets the cached tree, as a new process would
    if (RegStoreQueryValue(kRegCurrentUser, "Software\\Bench", "Value59999", data) != kRegOk) {
      state.SkipWithError("the value cannot be read");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * store.Bytes());
  state.counters["values"] = kValues;
}
BENCHMARK(BM_StoreRead)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_StoreWrite(benchmark::State& state) {
  Store& store = TheStore();
  int n = 0;
  for (auto _ : state) {
    const RegData data{rtString, "changed " + std::to_string(++n)};
    if (RegStoreSetValue(kRegCurrentUser, "Software\\Bench", "Value30000", data) != kRegOk) {
      state.SkipWithError("the value cannot be written");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * store.Bytes());
  state.counters["values"] = kValues;
}
BENCHMARK(BM_StoreWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
