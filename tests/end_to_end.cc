#include "tests/end_to_end.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

void CheckRunCase(Platform* platform, const RunCase& c) {
  platform->Seed(c.before);
  ProcessResult run = platform->Run(c.words);
  EXPECT_EQ(kBanner + c.output, run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(c.status, run.status);
  platform->ExpectHolds(c.after);
}

std::string ProgramPath() {
  const char* program = getenv("KOVALSET_PROGRAM");
  return program != nullptr ? program : KOVALSET_BINARY;
}

std::vector<std::string> KovalsetCommand(const std::vector<std::string>& words) {
  std::vector<std::string> argv = {ProgramPath()};
  argv.insert(argv.end(), words.begin(), words.end());
  return argv;
}

bool NobodysProgram::Possible() { return geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0; }

NobodysProgram::NobodysProgram() {
  chmod(dir_.path().c_str(), 0755);
  WriteFile(path_, ReadFile(ProgramPath()));
  chmod(path_.c_str(), 0755);
}

std::vector<std::string> NobodysProgram::Command(const std::vector<std::string>& words) const {
  std::vector<std::string> argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                   path_};
  argv.insert(argv.end(), words.begin(), words.end());
  return argv;
}
