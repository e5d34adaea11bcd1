#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ScanCase {
  std::vector<std::string> words;
  const char* protocols;
  bool debug_requested;
  const char* debug_value;  // null: none
  const char* invalid;      // null: all words valid
};

const std::string kLongest(255, 'v'), kTooLong(256, 'V');

// Most of the command line is held to the shared end-to-end cases; these
// are what a run against a registry cannot show as well.
std::vector<ScanCase> Cases() {
  return {
      {{"-h"}, "", false, nullptr, "-H"},
      {{"t\xe9tcpip"}, "", false, nullptr, "T\xe9TCPIP"},
      {{"\xe9", "spx"}, "", false, nullptr, "\xe9"},
      {{"spx", "DebugMsg"}, "SPX", true, nullptr, nullptr},
      {{"DEBUGMSG", "x", "bogus", "spx"}, "", true, "x", "BOGUS"},
      // The longest debug value that reads back, and one byte more.
      {{"debugmsg", std::string(255, 'v')}, "", true, kLongest.c_str(), nullptr},
      {{"debugmsg", std::string(256, 'v')}, "", true, nullptr, kTooLong.c_str()},
  };
}

TEST(ScanCommandLine, Table) {
  for (const ScanCase& c : Cases()) {
    std::vector<std::string> words = c.words;
    std::vector<char*> argv = {const_cast<char*>("kovalset")};
    for (std::string& word : words) argv.push_back(&word[0]);
    RunSettings settings;
    const char* invalid = ScanCommandLine(static_cast<int>(argv.size()), argv.data(), &settings);

    std::string label = ::testing::PrintToString(c.words);
    EXPECT_STREQ(c.protocols, settings.protocol_list.text) << label;
    EXPECT_EQ(c.debug_requested, settings.debug_requested) << label;
    EXPECT_STREQ(c.debug_value, settings.debug_value) << label;
    EXPECT_STREQ(c.invalid, invalid) << label;
  }
}

TEST(ScanCommandLine, StopsAtTheFirstInvalidWord) {
  char name[] = "kovalset", bad[] = "x", later[] = "spx";
  char* argv[] = {name, bad, later};
  RunSettings settings;
  EXPECT_STREQ("X", ScanCommandLine(3, argv, &settings));
  EXPECT_STREQ("spx", later);  // not looked at, so not upper-cased
}

}  // namespace
