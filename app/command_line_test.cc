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

std::vector<std::string> Repeat(const std::string& word, int times) {
  return std::vector<std::string>(times, word);
}

std::vector<ScanCase> Cases() {
  std::string spx64 = "SPX";
  for (int i = 1; i < 64; ++i) spx64 += ",SPX";
  std::string tcpip42 = "TCPIP";
  for (int i = 1; i < 42; ++i) tcpip42 += ",TCPIP";
  static std::vector<std::string> keep;  // the expected lists outlive the table
  keep = {spx64, tcpip42};
  return {
      {{}, "", false, nullptr, nullptr},
      {{"tcpip", "spx"}, "TCPIP,SPX", false, nullptr, nullptr},
      {{"spx", "spx"}, "SPX,SPX", false, nullptr, nullptr},
      {{"spx,tcpip"}, "", false, nullptr, "SPX,TCPIP"},
      {{"Tcp"}, "", false, nullptr, "TCP"},
      {{"/?"}, "", false, nullptr, "/?"},
      {{"-h"}, "", false, nullptr, "-H"},
      {{"spx", ""}, "SPX", false, nullptr, ""},
      {{"t\xe9tcpip"}, "", false, nullptr, "T\xe9TCPIP"},
      {{"debugmsg", "On"}, "", true, "On", nullptr},
      {{"DEBUGMSG", "spx"}, "", true, "spx", nullptr},
      {{"spx", "DebugMsg"}, "SPX", true, nullptr, nullptr},
      {{"DEBUGMSG", "a", "DEBUGMSG", "b"}, "", true, "b", nullptr},
      {{"DEBUGMSG", ""}, "", true, "", nullptr},
      {{"DEBUGMSG", "x", "bogus", "spx"}, "", true, "x", "BOGUS"},
      {Repeat("spx", 64), keep[0].c_str(), false, nullptr, nullptr},
      {Repeat("spx", 65), keep[0].c_str(), false, nullptr, "SPX"},
      {Repeat("tcpip", 42), keep[1].c_str(), false, nullptr, nullptr},
      {Repeat("tcpip", 43), keep[1].c_str(), false, nullptr, "TCPIP"},
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
