// The store parser on arbitrary bytes. What it accepts must come back from
// an edit with every other key and value as it was; what it refuses, the
// registry refuses with 1009 and never rewrites.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include "fileregistry/text/reg_text.h"
#include "fileregistry/win32_registry.h"

namespace {

using fileregistry::RegText;
using fileregistry::RegValue;

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Keys and values as the registry sees them: names folded, last one wins.
struct Model {
  std::set<std::string> keys;
  std::map<std::pair<std::string, std::string>, RegValue> values;
  bool operator==(const Model& o) const { return keys == o.keys && values == o.values; }
};

Model Read(const RegText& store) {
  Model model;
  store.ForEach([&](std::string_view path, const std::string* name, const RegValue* value) {
    model.keys.insert(Lower(path));
    if (name != nullptr) model.values[{Lower(path), Lower(*name)}] = *value;
  });
  return model;
}

void Check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "store fuzzer: %s\n", what);
    abort();
  }
}

std::string ReadBack(const std::string& path) {
  std::string text;
  if (FILE* file = fopen(path.c_str(), "rb")) {
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0) text.append(buffer, n);
    fclose(file);
  }
  return text;
}

// A folder of this run's own under TMPDIR, removed when the run ends; after
// a failed check it stays, with the store in it.
const char* StoreFolder() {
  static char folder[4096];
  if (folder[0] == '\0') {
    const char* tmp = getenv("TMPDIR");
    snprintf(folder, sizeof(folder), "%s/kovalset-store-fuzz-XXXXXX",
             tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
    Check(mkdtemp(folder) != nullptr, "cannot make a folder for the store");
    atexit([] { rmdir(folder); });
  }
  return folder;
}

void CheckRefusedByTheRegistry(const std::string& text) {
  static const std::string path = std::string(StoreFolder()) + "/hklm.reg";
  setenv("KOVALSET_REGISTRY", path.c_str(), 1);
  FILE* file = fopen(path.c_str(), "wb");
  Check(file != nullptr, "cannot write the store");
  fwrite(text.data(), 1, text.size(), file);
  fclose(file);
  HKEY key = nullptr;
  Check(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key) == ERROR_BADDB,
        "open of a refused store did not say 1009");
  Check(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) == ERROR_BADDB,
        "creation in a refused store did not say 1009");
  Check(ReadBack(path) == text, "a refused store was rewritten");
  unlink(path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  RegText store;
  // Parsed where it lies, as a mapped file is: no byte behind it to lean on.
  if (!store.Parse(nullptr, std::string_view(reinterpret_cast<const char*>(data), size))) {
    CheckRefusedByTheRegistry(text);
    return 0;
  }
  Model before = Read(store);

  std::string new_key = "Fuzz\\New Key";
  RegText edited;
  Check(edited.Parse(store.WithKey(new_key)), "adding a key broke the store");
  Model expected = before;
  expected.keys.insert(Lower(new_key));
  Check(Read(edited) == expected, "adding a key changed other keys or values");

  std::string path = before.keys.empty() ? new_key : std::string(*before.keys.begin());
  RegValue value{1, "new \"text\"\\\r\n"};
  RegText base;
  base.Parse(before.keys.empty() ? store.WithKey(new_key) : text);
  Model base_model = Read(base);
  std::string changed = base.WithValue(path, "Fuzz Value", value);
  Check(edited.Parse(changed), "setting a value broke the store");
  base_model.values[{Lower(path), "fuzz value"}] = value;
  Check(Read(edited) == base_model, "setting a value changed other keys or values");
  return 0;
}
