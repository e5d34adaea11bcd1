// End-to-end checks shared by every build: one build of the utility and its
// registry behind a small interface, held to the cases of run_cases.h.
#ifndef TESTS_END_TO_END_H_
#define TESTS_END_TO_END_H_

#include <string>
#include <vector>

#include "tests/run_cases.h"
#include "tests/test_support.h"

class Platform {
 public:
  virtual ~Platform() = default;
  // Sets both settings keys as `state` says.
  virtual void Seed(const StoreState& state) = 0;
  // Runs the utility with `words`; its output with LF line ends.
  virtual ProcessResult Run(const std::vector<std::string>& words) = 0;
  // Expects both settings keys to be as `state` says, and all else as seeded.
  virtual void ExpectHolds(const StoreState& state) = 0;
};

// The settings key's line in a .reg text, and a REGEDIT4 store of that key
// alone, holding `values` (its lines).
inline const std::string kSection = std::string("[HKEY_LOCAL_MACHINE\\") + kPrimaryKeyPath + "]\n";
inline std::string SettingsText(const std::string& values) {
  return "REGEDIT4\n\n" + kSection + values;
}

// The leak checker cannot work under strace, nor without a process to spare.
inline const char kNoLeakCheck[] = "ASAN_OPTIONS=detect_leaks=0";

// The program under test: KOVALSET_PROGRAM, at run time, or the one built.
std::string ProgramPath();

// The program under test with `words`.
std::vector<std::string> KovalsetCommand(const std::vector<std::string>& words);

// A copy of the built program that user nobody may run, for tests that run
// as root: `Command` runs it as nobody, with nogroup as its only group.
class NobodysProgram {
 public:
  static const uid_t kUid = 65534;
  // Whether this process may run programs as nobody.
  static bool Possible();
  NobodysProgram();
  std::vector<std::string> Command(const std::vector<std::string>& words) const;
  const std::string& path() const { return path_; }

 private:
  TempDir dir_;
  std::string path_ = dir_.File("kovalset");
};

// Seeds, runs and checks one case: exact output, status, nothing on stderr,
// and the registry after.
void CheckRunCase(Platform* platform, const RunCase& c);

#endif  // TESTS_END_TO_END_H_
