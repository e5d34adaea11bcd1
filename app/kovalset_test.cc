// Whole runs against the in-memory registry, chiefly the paths where a
// registry call fails.
#include "app/kovalset.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/fake_registry.h"

namespace {

const char kPrimary[] = "Software\\Calderan Software\\Linvarro\\Version 6.15\\Settings";
const char kCreating[] =
    "Key Software\\Calderan Software\\Linvarro\\Version 6.15\\Settings does not exist: "
    "creating new entry\n";
const char kProtocols[] = "Supported protocols";
const char kDebug[] = "Debug messages";

// A value of the settings key after the run: its text, or null for none.
struct Expected {
  const char* name;
  const char* text;
};

struct RunCase {
  const char* name;
  std::vector<std::string> words;
  std::function<void(FakeRegistry&)> arrange;
  std::string output;  // what follows the banner
  int status;
  std::vector<Expected> after;
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

template <typename... Words>
std::vector<std::string> W(Words... words) {
  return {words...};
}
template <typename... Values>
std::vector<Expected> After(Values... values) {
  return {values...};
}

const std::string k256Bytes(256, 'S');
const FakeRegistry::Call kCreate = FakeRegistry::kCreate, kOpen = FakeRegistry::kOpen,
                         kQuery = FakeRegistry::kQuery, kSet = FakeRegistry::kSet;

void StoredList(FakeRegistry& r) { r.SetText(kPrimary, kProtocols, "SPX,TCPIP"); }
const std::string kListed = "Current Supported Protocols : SPX and TCPIP\n";

const RunCase kCases[] = {
    {"CreationRefused", W(), [](FakeRegistry& r) { r.Fail(kCreate, "", 5); },
     std::string(kCreating) + "Error: Unable to create key: rc 5.\n", 1,
     After(Expected{kProtocols, nullptr})},
    {"NegativeStatusInSignedDecimal", W(),
     [](FakeRegistry& r) { r.Fail(kCreate, "", -1073741823); },
     std::string(kCreating) + "Error: Unable to create key: rc -1073741823.\n", 1, After()},
    {"OpenRefusedLeadsToCreation", W(),
     [](FakeRegistry& r) { StoredList(r), r.Fail(kOpen, "", 5); }, std::string(kCreating) + kListed,
     0, After()},
    {"ListOf256BytesEndingInZero", W(),
     [](FakeRegistry& r) { r.SetText(kPrimary, kProtocols, std::string(255, 'S') + '\0'); },
     "Current Supported Protocols : " + std::string(255, 'S') + "\n", 0, After()},
    {"ListOf256BytesWithoutZero", W(),
     [](FakeRegistry& r) { r.SetText(kPrimary, kProtocols, k256Bytes); },
     "Error: Unable to read Supported Protocols: rc 234.\n", 1,
     After(Expected{kProtocols, k256Bytes.c_str()})},
    {"UpdateFails", W("spx", "debugmsg", "on"),
     [](FakeRegistry& r) { StoredList(r), r.Fail(kSet, kProtocols, 5); },
     kListed + "Updating Supported Protocols to : SPX\n"
               "Error: Unable to update Supported Protocols: rc 5.\n"
               "Debug Messages entry does not exist.\nUpdating Debug Messages to : on\n",
     1, After(Expected{kProtocols, "SPX,TCPIP"}, Expected{kDebug, "on"})},
    {"CreateListFails", W(),
     [](FakeRegistry& r) { r.AddKey(kPrimary), r.Fail(kSet, kProtocols, 112); },
     "Supported Protocols entry does not exist.\nCreating new entry : SPX,TCPIP.\n"
     "Error: Unable to create Supported Protocols: rc 112.\n",
     1, After(Expected{kProtocols, nullptr})},
    {"UnreadableDebugSetting", W("debugmsg"),
     [](FakeRegistry& r) { StoredList(r), r.Fail(kQuery, kDebug, 1009); },
     kListed + "Error: Unable to read Debug Messages: rc 1009.\n", 1, After()},
    {"UnreadableDebugSettingStillWritten", W("debugmsg", "Off"),
     [](FakeRegistry& r) {
       StoredList(r), r.SetText(kPrimary, kDebug, "On"), r.Fail(kQuery, kDebug, 234);
     },
     kListed + "Error: Unable to read Debug Messages: rc 234.\nUpdating Debug Messages to : Off\n",
     1, After(Expected{kDebug, "Off"})},
    {"DebugUpdateFails", W("debugmsg", "On"),
     [](FakeRegistry& r) { StoredList(r), r.Fail(kSet, kDebug, 5); },
     kListed + "Debug Messages entry does not exist.\n"
               "Updating Debug Messages to : On\nError: Unable to update Debug Messages : rc 5.\n",
     1, After(Expected{kDebug, nullptr})},
};

class RunTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunTest, OutputStatusAndStoredValues) {
  const RunCase& c = GetParam();
  FakeRegistry& registry = FakeRegistry::Get();
  registry.Reset();
  c.arrange(registry);

  std::vector<std::string> words = c.words;
  std::vector<char*> argv = {const_cast<char*>("kovalset")};
  for (std::string& word : words) argv.push_back(&word[0]);
  ::testing::internal::CaptureStdout();
  int status = RunKovalset(static_cast<int>(argv.size()), argv.data());
  std::string output = ::testing::internal::GetCapturedStdout();

  std::string banner = std::string(kTitle) + "\n" + kNotice + "\n\n";
  EXPECT_EQ(banner + c.output, output);
  EXPECT_EQ(c.status, status);
  EXPECT_EQ(0, registry.open_handles) << "a key was left open";
  for (const Expected& e : c.after) {
    const FakeRegistry::Value* value = registry.Find(kPrimary, e.name);
    if (e.text == nullptr) {
      EXPECT_EQ(nullptr, value) << e.name;
    } else {
      ASSERT_NE(nullptr, value) << e.name;
      EXPECT_EQ(static_cast<DWORD>(REG_SZ), value->type);
      EXPECT_EQ(e.text, value->bytes) << e.name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Fake, RunTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<RunCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(Run, InvalidWordTouchesNoRegistry) {
  FakeRegistry& registry = FakeRegistry::Get();
  registry.Reset();
  char name[] = "kovalset", spx[] = "spx", bad[] = "spx,tcpip";
  char* argv[] = {name, spx, bad};
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(1, RunKovalset(3, argv));
  std::string output = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, output.find("\n\nError: Invalid parameter SPX,TCPIP.\n"
                                           "Usage: KOVALSET [SPX] [TCPIP]\n"));
  EXPECT_TRUE(registry.log.empty());
}

// Every open and create is in the 32-bit view, where the requester reads the
// settings; texts are written without their zero.
TEST(Run, ThirtyTwoBitViewAndTextsWithoutTheirZero) {
  FakeRegistry& registry = FakeRegistry::Get();
  registry.Reset();
  char name[] = "kovalset", tcpip[] = "tcpip";
  char* argv[] = {name, tcpip};
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(0, RunKovalset(2, argv));
  ::testing::internal::GetCapturedStdout();
  for (const std::string& call : registry.log) {
    if (call.rfind("open ", 0) == 0 || call.rfind("create ", 0) == 0) {
      EXPECT_NE(0ul, std::stoul(call.substr(call.rfind(' ') + 1), nullptr, 16) & KEY_WOW64_32KEY)
          << call;
    }
  }
  EXPECT_NE(registry.log.end(),
            std::find(registry.log.begin(), registry.log.end(), "set Supported protocols (5)"));
}

}  // namespace
