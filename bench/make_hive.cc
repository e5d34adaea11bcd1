// Writes a SOFTWARE hive for the benchmarks: make_hive FILE KEYS gives KEYS
// keys of other software, the settings key among them.
#include <cstdlib>
#include <string>

#include "tests/hive_fixture.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  HiveWriter hive(argv[1]);
  long keys = atol(argv[2]);
  for (long i = 1; i < keys; ++i) {
    hive.SetText("Filler\\Group " + std::to_string(i / 100) + "\\Key " + std::to_string(i), "Name",
                 "A value of other software " + std::to_string(i));
  }
  hive.SetText("Calderan Software\\Linvarro\\Version 6.15\\Settings", "Supported protocols",
               "SPX,TCPIP");
  hive.Commit();
  return 0;
}
