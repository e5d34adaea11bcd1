// Hives damaged at random, behind the Reg* functions: whatever hivex makes of
// them, nothing crashes, a hive that is refused or found damaged is never
// written, and one that is written reads back whole where it read whole
// before (damage away from what was changed may stay as it was); one made
// from its logs, always. Half the inputs damage instead a log beside a
// dirty hive, which is never written either.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fileregistry/registry_api.h"
#include "fileregistry/win32_registry.h"
#include "tests/hive_fixture.h"
#include "tests/test_support.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "hive fuzzer: %s\n", what);
    abort();
  }
}

const char kSettings[] = "Calderan Software\\Linvarro\\Version 6.15\\Settings";

// A hive with a key and a value, made once.
const std::string& SeedHive() {
  static const std::string* hive = new std::string(
      HiveBytes([](HiveWriter* h) { h->SetText(kSettings, "Supported protocols", "SPX,TCPIP"); }));
  return *hive;
}

// A dirty hive whose logs make it the seed hive with one more value, made
// once: the file, its .LOG1 and its .LOG2.
const std::vector<std::string>& DirtySeed() {
  static const std::vector<std::string>* files = [] {
    std::string path = "/tmp/kovalset-hive-fuzz-dirty-" + std::to_string(getpid());
    WriteDirtyHive(path, SeedHive(), HiveBytes([](HiveWriter* h) {
                     h->SetText(kSettings, "Supported protocols", "SPX,TCPIP");
                     h->SetText(kSettings, "Debug messages", "On");
                   }),
                   HiveLogFormat::kNew);
    auto* read = new std::vector<std::string>;
    for (const char* suffix : {"", ".LOG1", ".LOG2"}) {
      read->push_back(ReadFile(path + suffix));
      unlink((path + suffix).c_str());
    }
    return read;
  }();
  return *files;
}

const char* const kLogSuffixes[] = {"", ".LOG1", ".LOG2"};

}  // namespace

// The input, two bytes of offset and one to XOR at a time, damages the seed
// hive past its first four bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static int runs = 0;
  // Its first byte says which file: the clean seed hive, or a log of the
  // dirty one.
  size_t which = size > 0 ? data[0] % 3 : 0;
  std::vector<std::string> files = which == 0 ? std::vector<std::string>{SeedHive()} : DirtySeed();
  std::string& damaged = files[which];
  for (size_t i = 1; i + 2 < size; i += 3) {
    size_t at = 4 + (static_cast<size_t>(data[i]) << 8 | data[i + 1]) % (damaged.size() - 4);
    damaged[at] = static_cast<char>(damaged[at] ^ data[i + 2]);
  }
  // Half the damaged logs get hashes that match, so that the damage is
  // read past the hash check.
  if (which > 0 && size > 0 && data[0] & 0x80) RehashLog(&damaged);
  const std::string& hive = files[0];
  // A new name each run, so that no file looks like the one before.
  std::string path =
      "/tmp/kovalset-hive-fuzz-" + std::to_string(getpid()) + "-" + std::to_string(++runs);
  for (size_t i = 0; i < files.size(); ++i) WriteFile(path + kLogSuffixes[i], files[i]);
  bool whole = which > 0 || HiveReadsWhole(path);
  setenv("KOVALSET_REGISTRY", path.c_str(), 1);
  fileregistry::StartNewRun();  // the calls' run works out the store's path once

  HKEY key = nullptr;
  LONG open = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Calderan Software", 0,
                            KEY_ALL_ACCESS | KEY_WOW64_32KEY, &key);
  if (open == 0) RegCloseKey(key);
  LONG create = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Fuzz\\Key", 0, nullptr, 0,
                                KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr);
  if (create == 0) {
    RegSetValueExA(key, "Value", 0, REG_SZ, reinterpret_cast<const BYTE*>("text"), 4);
    RegCloseKey(key);
  }
  bool unchanged = ReadFile(path) == hive;
  if (open == ERROR_BADDB || open == ERROR_REGISTRY_IO_FAILED || create != ERROR_SUCCESS) {
    Check(unchanged, "a refused or damaged hive was written");
  }
  Check(unchanged || !whole || HiveReadsWhole(path), "a written hive does not read back whole");
  for (size_t i = 1; i < files.size(); ++i) {
    Check(ReadFile(path + kLogSuffixes[i]) == files[i], "a log was changed");
  }
  for (const char* suffix : kLogSuffixes) unlink((path + suffix).c_str());
  return 0;
}
