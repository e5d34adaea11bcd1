// The cases every build of the utility is held to: the words, what the
// registry holds before, the exact output and status, and what it holds
// after. Each platform's end-to-end test seeds and reads its own registry.
#ifndef TESTS_RUN_CASES_H_
#define TESTS_RUN_CASES_H_

#include <optional>
#include <ostream>
#include <string>
#include <vector>

extern const char kPrimaryKeyPath[];
// The same key as a SOFTWARE hive holds it: the path below Software.
inline const std::string kPrimaryKeyInHive = std::string(kPrimaryKeyPath).substr(9);
extern const char kFallbackKeyPath[];
extern const char kBanner[];    // the two banner lines and the empty line
extern const char kCreating[];  // the key-creation line

// The settings key under one vendor root.
struct KeyState {
  bool exists = false;
  std::optional<std::string> protocols;  // "Supported protocols"
  std::optional<std::string> debug;      // "Debug messages"

  bool operator==(const KeyState& o) const {
    return exists == o.exists && protocols == o.protocols && debug == o.debug;
  }
};

struct StoreState {
  KeyState primary, fallback;  // in the view the requester reads
  bool operator==(const StoreState& o) const {
    return primary == o.primary && fallback == o.fallback;
  }
};

struct RunCase {
  std::string name;
  std::vector<std::string> words;
  StoreState before;
  std::string output;  // what follows the banner
  int status;
  StoreState after;
  // What only the command line or the display decides: one store kind shows it.
  bool command_line_only = false;
};

const std::vector<RunCase>& RunCases();

// What the 64-bit view of a 64-bit machine's registry holds in every case:
// settings the requester never reads, which no run may show or change.
extern const StoreState kOtherView;
// The path of `path` (under Software) in the 32-bit view of such a registry.
std::string Wow6432Path(const std::string& path);

// For test output.
void PrintTo(const RunCase& c, std::ostream* os);
void PrintTo(const StoreState& state, std::ostream* os);

#endif  // TESTS_RUN_CASES_H_
