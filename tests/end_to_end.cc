#include "tests/end_to_end.h"

#include <gtest/gtest.h>

void CheckRunCase(Platform* platform, const RunCase& c) {
  platform->Seed(c.before);
  ProcessResult run = platform->Run(c.words);
  EXPECT_EQ(kBanner + c.output, run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(c.status, run.status);
  EXPECT_EQ(c.after, platform->Read());
}

std::vector<std::string> KovalsetCommand(const std::vector<std::string>& words) {
  std::vector<std::string> argv = {KOVALSET_BINARY};
  argv.insert(argv.end(), words.begin(), words.end());
  return argv;
}
