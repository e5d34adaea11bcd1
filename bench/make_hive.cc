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
  AddFillerKeys(&hive, keys > 1 ? static_cast<size_t>(keys - 1) : 0, bytes);
  hive.SetText("Calderan Software\\Linvarro\\Version 6.15\\Settings", "Supported protocols",
               "SPX,TCPIP");
  hive.Commit();
  return 0;
}
