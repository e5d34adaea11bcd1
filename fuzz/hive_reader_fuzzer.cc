// The hive reader on damaged hives: nothing crashes, every lookup says
// found, missing or damaged, and it never calls missing a key or value
// that hivex finds. An input whose first byte is odd is the hive itself;
// otherwise its bytes, two of offset and one to XOR at a time, damage a
// seed hive. Half the inputs are read through a descriptor, half in memory.
#include <hivex.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fileregistry/hive/hive_access.h"
#include "fileregistry/hive/hive_reader.h"
#include "fileregistry/win32_registry.h"
#include "tests/hive_fixture.h"
#include "tests/test_support.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "hive reader fuzzer: %s\n", what);
    abort();
  }
}

const char* const kKeys[] = {"Software\\Calderan Software\\Linvarro\\Version 6.15\\Settings",
                             "Software\\Many\\Key 7", "Software\\Ключ", "Software\\Missing"};

// A hive with keys of ASCII and UTF-16 names, values inline, in a cell and
// large, and a key of many subkeys, made once.
const std::string& SeedHive() {
  static const std::string* hive = new std::string(HiveBytes([](HiveWriter* writer) {
    writer->SetText(std::string(kKeys[0]).substr(9), "Supported protocols", "SPX,TCPIP");
    writer->SetValue(std::string(kKeys[0]).substr(9), "Small", 4, std::string("\1\0\0\0", 4));
    writer->SetValue("Ключ", "Имя", 3, std::string(20000, 'x'));
    for (int i = 0; i < 24; ++i) writer->SetText("Many\\Key " + std::to_string(i), "v", "x");
  }));
  return *hive;
}

bool Said(long status) {
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ||
         status == ERROR_REGISTRY_IO_FAILED;
}

// Whether the name of the key whose cell is at `node` of `hive` has a zero
// character in it, which hivex cuts short: a name the reader rightly does
// not take for the shorter one.
bool ZeroInName(const std::string& hive, size_t node) {
  if (node + 80 > hive.size()) return false;
  size_t length = GetLe(hive, node + 76, 2);
  bool wide = (hive[node + 6] & 0x20) == 0;
  std::string name = hive.substr(node + 80, length);
  return wide ? fileregistry::HasZero(name) : name.find('\0') != std::string::npos;
}

// Whether hivex, given `hive`, finds key `path`, by the name stored.
bool HivexFinds(const std::string& hive, const char* path) {
  int fd = memfd_create("hive", MFD_CLOEXEC);
  bool found = false;
  if (fd >= 0 && write(fd, hive.data(), hive.size()) == static_cast<ssize_t>(hive.size())) {
    if (hive_h* h = hivex_open(fileregistry::DescriptorPath(fd).c_str(), 0)) {
      hive_node_h node = hivex_root(h);
      for (const std::string& part : fileregistry::Parts(path)) {
        if (node != 0) node = hivex_node_get_child(h, node, part.c_str());
        if (node != 0 && ZeroInName(hive, node)) node = 0;
      }
      found = node != 0;
      hivex_close(h);
    }
  }
  if (fd >= 0) close(fd);
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bool raw = size > 0 && (data[0] & 1), through_fd = size > 0 && (data[0] & 2);
  std::string hive =
      raw ? std::string(reinterpret_cast<const char*>(data) + 1, size - 1) : SeedHive();
  for (size_t i = 1; !raw && i + 2 < size; i += 3) {
    size_t at = (static_cast<size_t>(data[i]) << 8 | data[i + 1]) % hive.size();
    hive[at] = static_cast<char>(hive[at] ^ data[i + 2]);
  }
  int fd = through_fd ? memfd_create("hive", MFD_CLOEXEC) : -1;
  if (fd >= 0 && write(fd, hive.data(), hive.size()) != static_cast<ssize_t>(hive.size())) abort();
  fileregistry::HiveReader reader;
  std::string why;
  long opened = reader.Open(fd, fd >= 0 ? nullptr : std::make_shared<std::string>(hive), &why);
  Check(opened == 0 || opened == ERROR_BADDB || opened == ERROR_REGISTRY_IO_FAILED, "open");
  for (const char* path : kKeys) {
    if (opened != 0) break;
    fileregistry::HiveReader::Key key;
    std::string stored = "Software";
    long found = reader.Find(reader.Root(), fileregistry::Parts(path), &key, &stored);
    Check(Said(found), "a key lookup");
    Check(found != ERROR_FILE_NOT_FOUND || !HivexFinds(hive, path), "missing, yet hivex finds it");
    if (found != 0) continue;
    fileregistry::RegValue value;
    std::vector<fileregistry::NamedValue> others;
    Check(Said(reader.Value(key, "Supported protocols", &value)), "a value lookup");
    Check(Said(reader.OtherValues(key, "Small", &others)), "the other values");
  }
  if (size == 0) Check(opened == 0, "the seed hive does not open");
  if (fd >= 0) close(fd);
  return 0;
}
