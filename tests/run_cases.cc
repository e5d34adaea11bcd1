#include "tests/run_cases.h"

const char kPrimaryKeyPath[] = "Software\\Calderan Software\\Linvarro\\Version 6.15\\Settings";
const char kFallbackKeyPath[] = "Software\\Morlith Technologies\\Linvarro\\Version 6.15\\Settings";
const char kBanner[] =
    "QUOBRANT - WindowsNT/Windows95 Requester Configuration Utility.\n"
    "Copyright (c) 2026 The kovalset developers.\n\n";

const char kCreating[] =
    "Key Software\\Calderan Software\\Linvarro\\Version 6.15\\Settings does not exist: "
    "creating new entry\n";

namespace {
const std::string kUsage = "Usage: KOVALSET [SPX] [TCPIP]\n";
const std::string kBothListed = "Current Supported Protocols : SPX and TCPIP\n";

const KeyState kNoKey;
KeyState Key(std::optional<std::string> protocols, std::optional<std::string> debug = {}) {
  return KeyState{true, std::move(protocols), std::move(debug)};
}
StoreState Primary(KeyState key) { return StoreState{std::move(key), kNoKey}; }
const StoreState kEmpty;
const StoreState kListed = Primary(Key("SPX,TCPIP"));

StoreState Fallback(KeyState key) { return StoreState{kNoKey, std::move(key)}; }
StoreState Both(KeyState primary, KeyState fallback) {
  return StoreState{std::move(primary), std::move(fallback)};
}

template <typename... Words>
std::vector<std::string> W(Words... words) {
  return {words...};
}
std::vector<std::string> Repeat(const std::string& word, int times) {
  return std::vector<std::string>(times, word);
}
std::string Joined(const std::string& word, int times) {
  std::string list = word;
  for (int i = 1; i < times; ++i) list += "," + word;
  return list;
}

std::vector<RunCase> MakeCases() {
  const std::string too_long(300, 'X');       // more than the 255 bytes a read offers
  const std::string longest_debug(255, 'v');  // the longest debug value that reads back
  const bool kCommandLine = true;
  return {
      // Protocol list.
      {"FirstRunCreatesKeyAndDefault", W(), kEmpty,
       std::string(kCreating) +
           "Supported Protocols entry does not exist.\nCreating new entry : SPX,TCPIP.\n",
       0, kListed},
      {"ShowsStoredList", W(), kListed, kBothListed, 0, kListed},
      {"TypicalRun", W("tcpip"), kListed, kBothListed + "Updating Supported Protocols to : TCPIP\n",
       0, Primary(Key("TCPIP"))},
      {"SingleName", W(), Primary(Key("TCPIP")), "Current Supported Protocols : TCPIP\n", 0,
       Primary(Key("TCPIP"))},
      {"OnlyFirstCommaBecomesAnd", W(), Primary(Key("A,B,C")),
       "Current Supported Protocols : A and B,C\n", 0, Primary(Key("A,B,C")), kCommandLine},
      {"EmptyStoredList", W(), Primary(Key("")), "Current Supported Protocols : \n", 0,
       Primary(Key(""))},
      {"MissingListCreatedFromWords", W("tcpip"), Primary(Key(std::nullopt)),
       "Supported Protocols entry does not exist.\nCreating new entry : TCPIP.\n", 0,
       Primary(Key("TCPIP"))},
      {"ListReplacedWholeInOrderGiven", W("tcpip", "Spx", "spx"), Primary(Key("SPX", "On")),
       "Current Supported Protocols : SPX\nUpdating Supported Protocols to : TCPIP,SPX,SPX\n", 0,
       Primary(Key("TCPIP,SPX,SPX", "On"))},
      {"SixtyFourProtocolsFit", Repeat("spx", 64), kListed,
       kBothListed + "Updating Supported Protocols to : " + Joined("SPX", 64) + "\n", 0,
       Primary(Key(Joined("SPX", 64)))},
      {"SixtyFourProtocolsReadBack", W(), Primary(Key(Joined("SPX", 64))),
       "Current Supported Protocols : SPX and " + Joined("SPX", 63) + "\n", 0,
       Primary(Key(Joined("SPX", 64)))},
      {"UnreadableListIsKept", W(), Primary(Key(too_long)),
       "Error: Unable to read Supported Protocols: rc 234.\n", 1, Primary(Key(too_long))},
      {"UnreadableListReplacedWhenAsked", W("spx"), Primary(Key(too_long)),
       "Error: Unable to read Supported Protocols: rc 234.\n"
       "Updating Supported Protocols to : SPX\n",
       1, Primary(Key("SPX"))},

      // Settings key.
      {"FallbackRootOnly", W("spx", "debugmsg", "On"), Fallback(Key("SPX,TCPIP")),
       kBothListed + "Updating Supported Protocols to : SPX\n"
                     "Debug Messages entry does not exist.\nUpdating Debug Messages to : On\n",
       0, Fallback(Key("SPX", "On"))},
      {"PrimaryRootWins", W("spx"), Both(Key("TCPIP"), Key("SPX,TCPIP")),
       "Current Supported Protocols : TCPIP\nUpdating Supported Protocols to : SPX\n", 0,
       Both(Key("SPX"), Key("SPX,TCPIP"))},

      // Command line.
      {"InvalidWordAfterValidOnes", W("spx", "spx,tcpip"), kEmpty,
       "Error: Invalid parameter SPX,TCPIP.\n" + kUsage, 1, kEmpty, kCommandLine},
      {"InvalidWordUpperCased", W("Tcp"), kListed, "Error: Invalid parameter TCP.\n" + kUsage, 1,
       kListed, kCommandLine},
      {"NoHelpSwitch", W("/?"), kListed, "Error: Invalid parameter /?.\n" + kUsage, 1, kListed,
       kCommandLine},
      {"EmptyWord", W("spx", ""), kListed, "Error: Invalid parameter .\n" + kUsage, 1, kListed,
       kCommandLine},
      {"TooManyProtocols", Repeat("spx", 65), kEmpty, "Error: Invalid parameter SPX.\n" + kUsage, 1,
       kEmpty, kCommandLine},
      {"TooManyTcpip", Repeat("tcpip", 43), kListed, "Error: Invalid parameter TCPIP.\n" + kUsage,
       1, kListed, kCommandLine},

      // Debug messages.
      {"LongestDebugValue", W("debugmsg", longest_debug), kListed,
       kBothListed + "Debug Messages entry does not exist.\nUpdating Debug Messages to : " +
           longest_debug + "\n",
       0, Primary(Key("SPX,TCPIP", longest_debug))},
      {"LongestDebugValueReadsBack", W("debugmsg"), Primary(Key("SPX,TCPIP", longest_debug)),
       kBothListed + "Current Debug Messages : " + longest_debug + "\n", 0,
       Primary(Key("SPX,TCPIP", longest_debug))},
      {"DebugValueTooLong", W("debugmsg", longest_debug + "v"), kListed,
       "Error: Invalid parameter " + std::string(256, 'V') + ".\n" + kUsage, 1, kListed,
       kCommandLine},
      {"DebugShown", W("debugmsg"), Primary(Key("SPX,TCPIP", "On")),
       kBothListed + "Current Debug Messages : On\n", 0, Primary(Key("SPX,TCPIP", "On"))},
      {"DebugMissingNotCreated", W("DEBUGMSG"), kListed,
       kBothListed + "Debug Messages entry does not exist.\n", 0, kListed},
      {"DebugCreated", W("debugmsg", "On"), kListed,
       kBothListed + "Debug Messages entry does not exist.\nUpdating Debug Messages to : On\n", 0,
       Primary(Key("SPX,TCPIP", "On"))},
      {"DebugValueAsTypedNotAProtocol", W("DEBUGMSG", "spx"), Primary(Key("SPX,TCPIP", "Off")),
       kBothListed + "Current Debug Messages : Off\nUpdating Debug Messages to : spx\n", 0,
       Primary(Key("SPX,TCPIP", "spx"))},
      {"LaterDebugValueWins", W("DEBUGMSG", "a", "DEBUGMSG", "b"), kListed,
       kBothListed + "Debug Messages entry does not exist.\nUpdating Debug Messages to : b\n", 0,
       Primary(Key("SPX,TCPIP", "b"))},
      {"EmptyDebugValue", W("DEBUGMSG", ""), Primary(Key("SPX,TCPIP", "On")),
       kBothListed + "Current Debug Messages : On\nUpdating Debug Messages to : \n", 0,
       Primary(Key("SPX,TCPIP", ""))},
      {"UnreadableDebugSetting", W("debugmsg"), Primary(Key("SPX,TCPIP", too_long)),
       kBothListed + "Error: Unable to read Debug Messages: rc 234.\n", 1,
       Primary(Key("SPX,TCPIP", too_long))},
  };
}

}  // namespace

const StoreState kOtherView = {Key("TCPIP,SPX,TCPIP", "64-bit view"), kNoKey};

std::string Wow6432Path(const std::string& path) {
  return "Software\\WOW6432Node" + path.substr(sizeof("Software") - 1);
}

const std::vector<RunCase>& RunCases() {
  static const std::vector<RunCase> cases = MakeCases();
  return cases;
}

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

void PrintTo(const StoreState& state, std::ostream* os) {
  auto key = [os](const char* root, const KeyState& k) {
    *os << root << (k.exists ? " key" : " no key");
    if (k.protocols) *os << ", protocols \"" << *k.protocols << "\"";
    if (k.debug) *os << ", debug \"" << *k.debug << "\"";
  };
  key("primary", state.primary);
  key("; fallback", state.fallback);
}
