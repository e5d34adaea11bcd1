// Whole runs on random words against the in-memory registry, which may be
// told to fail a call. The status is 0 or 1, nothing goes to stderr, every
// key is closed, and only the values the words asked for change.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/kovalset.h"
#include "tests/fake_registry.h"

namespace {

const char kPrimary[] = "software\\calderan software\\linvarro\\version 6.15\\settings";
const char kFallback[] = "software\\morlith technologies\\linvarro\\version 6.15\\settings";
const char kProtocols[] = "supported protocols";
const char kDebug[] = "debug messages";
const LONG kStatuses[] = {2, 3, 5, 87, 234, 1009, 1018, -1};

int stderr_capture = -1;

void Check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "run fuzzer: %s\n", what);
    abort();
  }
}

bool SameFoldingCase(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

// The registry before the run, from the first byte.
void Seed(FakeRegistry& registry, uint8_t bits) {
  registry.SetText("Software\\Other Vendor", "Kept", "untouched");
  for (const char* key : {kPrimary, kFallback}) {
    bool primary = key == kPrimary;
    if (!(bits & (primary ? 1 : 2))) continue;
    registry.AddKey(key);
    if (bits & 4) registry.SetText(key, kProtocols, bits & 8 ? std::string(300, 'L') : "SPX");
    if (bits & 16) registry.SetText(key, kDebug, "On");
    if (bits & 32) registry.SetText(key, "Unrelated", "kept too");
  }
}

bool IsProtocolList(const std::string& text) {
  if (text.size() > 255) return false;
  size_t begin = 0;
  for (;;) {
    size_t comma = text.find(',', begin);
    std::string name = text.substr(begin, comma - begin);
    if (name != "SPX" && name != "TCPIP") return false;
    if (comma == std::string::npos) return true;
    begin = comma + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  close(null);
  char name[] = "/tmp/kovalset-run-fuzz-stderr.XXXXXX";
  stderr_capture = mkstemp(name);
  unlink(name);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  FakeRegistry& registry = FakeRegistry::Get();
  registry.Reset();
  Seed(registry, data[0]);
  // A read that says "not found" makes a stored list count as missing.
  bool list_reads_missing = false;
  if (data[1] % 5 != 0) {
    const char* targets[] = {"", "Supported protocols", "Debug messages"};
    auto call = static_cast<FakeRegistry::Call>(data[1] % 5 - 1);
    const char* target = targets[data[1] / 5 % 3];
    LONG status = kStatuses[data[2] % 8];
    registry.Fail(call, target, status);
    list_reads_missing = call == FakeRegistry::kQuery && status == 2 && target[0] != 'D';
  }
  const FakeRegistry before = registry;

  // The words: the rest of the input, split at zero bytes.
  std::vector<std::string> words;
  std::string input(reinterpret_cast<const char*>(data) + 3, size - 3);
  for (size_t begin = 0; begin <= input.size();) {
    size_t end = input.find('\0', begin);
    if (end == std::string::npos) end = input.size();
    words.push_back(input.substr(begin, end - begin));
    begin = end + 1;
  }
  bool debug_word = false, protocol_word = false;
  for (const std::string& word : words) {
    debug_word |= SameFoldingCase(word.c_str(), "DEBUGMSG");
    protocol_word |= SameFoldingCase(word.c_str(), "SPX") || SameFoldingCase(word.c_str(), "TCPIP");
  }
  std::vector<char*> argv = {const_cast<char*>("kovalset")};
  for (std::string& word : words) argv.push_back(&word[0]);

  if (ftruncate(stderr_capture, 0) != 0) abort();
  int saved_stderr = dup(2);
  dup2(stderr_capture, 2);
  int status = RunKovalset(static_cast<int>(argv.size()), argv.data());
  fflush(stderr);
  dup2(saved_stderr, 2);
  close(saved_stderr);
  struct stat st;
  fstat(stderr_capture, &st);

  Check(status == 0 || status == 1, "status other than 0 or 1");
  Check(st.st_size == 0, "wrote to stderr");
  Check(registry.open_handles == 0, "a key was left open");
  for (const auto& [path, values] : registry.keys) {
    bool settings = path == kPrimary || path == kFallback;
    Check(before.keys.count(path) != 0 || path == kPrimary, "created a key it should not");
    for (const auto& [name, value] : values) {
      const FakeRegistry::Value* old = before.Find(path, name);
      bool same = old != nullptr && old->type == value.type && old->bytes == value.bytes;
      if (same) continue;
      Check(settings && (name == kProtocols || name == kDebug), "changed an unrelated value");
      if (name == kDebug) Check(debug_word, "changed the debug setting without DEBUGMSG");
      if (name == kProtocols) {
        Check(protocol_word || old == nullptr || list_reads_missing,
              "replaced a stored list without protocol words");
        Check(IsProtocolList(value.bytes), "wrote something other than a protocol list");
      }
    }
  }
  return 0;
}
