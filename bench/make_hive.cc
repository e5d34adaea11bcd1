// Writes a SOFTWARE hive for the benchmarks: make_hive FILE KEYS [BYTES]
// gives KEYS keys of other software, the settings key among them, each
// other key's value padded to BYTES bytes of text (a few dozen without).
#include <cstdlib>
#include <string>

#include "tests/hive_fixture.h"

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) return 2;
  HiveWriter hive(argv[1]);
  long keys = atol(argv[2]);
  size_t bytes = argc == 4 ? static_cast<size_t>(atol(argv[3])) : 0;
  for (long i = 1; i < keys; ++i) {
    std::string text = "A value of other software " + std::to_string(i);
    if (text.size() < bytes) text.resize(bytes, '.');
    hive.SetText("Filler\\Group " + std::to_string(i / 100) + "\\Key " + std::to_string(i), "Name",
                 text);
  }
  hive.SetText("Calderan Software\\Linvarro\\Version 6.15\\Settings", "Supported protocols",
               "SPX,TCPIP");
  hive.Commit();
  return 0;
}
