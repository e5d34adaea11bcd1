// The Windows build under Wine, on Wine's own registry: the shared cases, and
// the registry probe compared with the file registry. Exits with 77 (skipped)
// where Wine or the Windows build is not there, or the 32-bit build cannot run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/end_to_end.h"
#include "tests/hive_fixture.h"

namespace {

std::string wine_program;
std::unique_ptr<TempDir> wine_prefix;

// The Windows build: KOVALSET_WINDOWS_DIR, at run time (the 32-bit one) or
// as built.
std::string WindowsProgram(const std::string& name) {
  const char* dir = getenv("KOVALSET_WINDOWS_DIR");
  return std::string(dir != nullptr ? dir : KOVALSET_WINDOWS_DIR) + "/" + name;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Wine's environment: the run's own prefix, and the folder of its server's
// socket (Wine makes it in TMPDIR) inside it, to go with it.
std::vector<std::string> WineEnv() {
  return {"WINEPREFIX=" + wine_prefix->path(), "TMPDIR=" + wine_prefix->File("tmp"),
          "WINEDEBUG=-all", "DISPLAY"};
}

ProcessResult Wine(std::vector<std::string> argv) {
  argv.insert(argv.begin(), wine_program);
  std::vector<std::string> env = WineEnv();
  ProcessResult result = RunProcess(argv, env);
  // Rarely, under load, Wine fails to start a program at all (status 1,
  // nothing printed; every program here prints or succeeds): it is started
  // again, once, and the test says so.
  if (result.status == 1 && result.out.empty() && result.err.empty()) {
    fprintf(stderr, "Wine did not start %s; starting it again\n", argv[1].c_str());
    result = RunProcess(argv, env);
  }
  std::string lf;
  for (size_t i = 0; i < result.out.size(); ++i) {
    if (!(result.out[i] == '\r' && i + 1 < result.out.size() && result.out[i + 1] == '\n')) {
      lf += result.out[i];
    }
  }
  result.out = lf;
  return result;
}

std::string Field(const std::optional<std::string>& value) { return value ? "=" + *value : "-"; }
std::optional<std::string> FromField(const std::string& field) {
  if (field.empty() || field[0] != '=') return std::nullopt;
  return field.substr(1);
}

ProcessResult RegistryState(const std::vector<std::string>& words) {
  std::vector<std::string> argv = {WindowsProgram("registry_state.exe")};
  argv.insert(argv.end(), words.begin(), words.end());
  return Wine(argv);
}

void SeedView(const char* view, const StoreState& state) {
  std::vector<std::string> words = {"seed", view};
  for (const KeyState* key : {&state.primary, &state.fallback}) {
    words.insert(words.end(), {key->exists ? "1" : "0", Field(key->protocols), Field(key->debug)});
  }
  ProcessResult seeded = RegistryState(words);
  ASSERT_EQ(0, seeded.status) << "seeding the " << view << "-bit view failed: " << seeded.out
                              << seeded.err;
}

StoreState ReadView(const char* view) {
  ProcessResult dump = RegistryState({"dump", view});
  std::vector<std::string> lines = Lines(dump.out);
  StoreState state;
  if (lines.size() != 6) {
    ADD_FAILURE() << "cannot read the " << view << "-bit view back (status " << dump.status
                  << "): " << dump.out << dump.err;
    return state;
  }
  KeyState* keys[] = {&state.primary, &state.fallback};
  for (int k = 0; k < 2; ++k) {
    *keys[k] =
        KeyState{lines[3 * k] == "1", FromField(lines[3 * k + 1]), FromField(lines[3 * k + 2])};
  }
  return state;
}

ProcessResult RunKovalset(const std::vector<std::string>& words) {
  std::vector<std::string> argv = {WindowsProgram("kovalset.exe")};
  argv.insert(argv.end(), words.begin(), words.end());
  return Wine(argv);
}

// Wine's registry, seeded and read by a small Win32 helper: the settings in
// the 32-bit view, where the requester reads them, and other settings in
// the 64-bit view, which no run may touch.
class WineRegistry : public Platform {
 public:
  void Seed(const StoreState& state) override {
    SeedView("64", kOtherView);
    SeedView("32", state);
  }
  ProcessResult Run(const std::vector<std::string>& words) override { return RunKovalset(words); }
  void ExpectHolds(const StoreState& state) override {
    EXPECT_EQ(kOtherView, ReadView("64")) << "the 64-bit view changed";
    EXPECT_EQ(state, ReadView("32"));
  }
};

class Windows : public ::testing::TestWithParam<RunCase> {};

TEST_P(Windows, OutputStatusAndRegistry) {
  WineRegistry platform;
  CheckRunCase(&platform, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Wine, Windows, ::testing::ValuesIn(RunCases()),
                         [](const ::testing::TestParamInfo<RunCase>& info) {
                           return info.param.name;
                         });

// The key a first run makes, and a list that reg add puts there, are in
// the 32-bit view alone.
TEST(WindowsView, KeysAreMadeAndReadInThe32BitView) {
  SeedView("64", StoreState{});
  SeedView("32", StoreState{});
  ProcessResult run = RunKovalset({});
  EXPECT_EQ(0, run.status) << run.out << run.err;
  EXPECT_EQ("1\n0\n", RegistryState({"vendors", "32"}).out);
  ASSERT_EQ(0, Wine({"reg", "add", std::string("HKLM\\") + kPrimaryKeyPath, "/v",
                     "Supported protocols", "/d", "TCPIP", "/reg:32", "/f"})
                   .status);
  run = RunKovalset({});
  EXPECT_EQ(std::string(kBanner) + "Current Supported Protocols : TCPIP\n", run.out);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("0\n0\n", RegistryState({"vendors", "64"}).out);
}

// Windows' own importer and exporter: the store is the file an admin takes
// from a workstation and deploys to many with `reg import FILE /reg:32`.
std::string WindowsPath(std::string path) {
  for (char& c : path) c = c == '/' ? '\\' : c;
  return "Z:" + path;
}

const StoreState kDeployed = {KeyState{true, "SPX", "On"}, KeyState{}};

void CheckImportsInto32BitView(const std::string& file) {
  SeedView("32", StoreState{});
  SeedView("64", StoreState{});
  ProcessResult import = Wine({"reg", "import", WindowsPath(file), "/reg:32"});
  ASSERT_EQ(0, import.status) << ReadFile(file);
  EXPECT_EQ(kDeployed, ReadView("32"));
  EXPECT_EQ("0\n0\n", RegistryState({"vendors", "64"}).out);
}

TEST(RegFiles, AnExportIsChangedAndImportsBack) {
  TempDir dir;
  std::string file = dir.File("exported.reg");
  SeedView("32", StoreState{KeyState{true, "TCPIP", std::nullopt}, KeyState{}});
  ASSERT_EQ(0, Wine({"reg", "export", "HKLM\\Software\\Calderan Software", WindowsPath(file),
                     "/reg:32", "/y"})
                   .status);
  ASSERT_EQ("\xff\xfe", ReadFile(file).substr(0, 2)) << "not regedit's UTF-16";
  ProcessResult run =
      RunProcess(KovalsetCommand({"spx", "debugmsg", "On"}), {"KOVALSET_REGISTRY=" + file});
  EXPECT_EQ(std::string(kBanner) + "Current Supported Protocols : TCPIP\n" +
                "Updating Supported Protocols to : SPX\n" +
                "Debug Messages entry does not exist.\nUpdating Debug Messages to : On\n",
            run.out);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("\xff\xfe", ReadFile(file).substr(0, 2));
  CheckImportsInto32BitView(file);
}

// Wine's importer refuses a UTF-8 file with a byte-order mark, which the
// utility only ever keeps, never makes.
TEST(RegFiles, StoresTheUtilityWroteImport) {
  const std::string v5 = "Windows Registry Editor Version 5.00\r\n";
  std::string utf16 = "\xff\xfe";
  for (char c : v5) utf16 += std::string{c, '\0'};
  const std::pair<const char*, std::string> starts[] = {
      {"REGEDIT4 (a new store)", ""}, {"version 5, UTF-8", v5}, {"version 5, UTF-16", utf16}};
  for (const auto& [dialect, start] : starts) {
    TempDir dir;
    std::string file = dir.File("hklm.reg");
    if (!start.empty()) WriteFile(file, start);
    ProcessResult run =
        RunProcess(KovalsetCommand({"spx", "debugmsg", "On"}), {"KOVALSET_REGISTRY=" + file});
    ASSERT_EQ(0, run.status) << dialect << ": " << run.out << run.err;
    SCOPED_TRACE(dialect);
    CheckImportsInto32BitView(file);
  }
}

// The differences the README's platform notes give, as pairs of a line of the
// file registry and the Windows line in its place.
std::vector<std::pair<std::string, std::string>> DocumentedDifferences() {
  std::vector<std::pair<std::string, std::string>> pairs;
  bool inside = false;
  for (std::string line : Lines(ReadFile(std::string(KOVALSET_SOURCE_DIR) + "/README.md"))) {
    if (line.find("<!-- probe differences -->") != std::string::npos) inside = true;
    if (line.find("<!-- end of probe differences -->") != std::string::npos) break;
    if (!inside) continue;
    line.erase(0, line.find_first_not_of(' '));
    const std::string file = "file registry: ", windows = "Windows: ";
    if (line.rfind(file, 0) == 0) {
      pairs.emplace_back(line.substr(file.size()), "");
    } else if (line.rfind(windows, 0) == 0 && !pairs.empty()) {
      pairs.back().second = line.substr(line.find_first_not_of(' ', windows.size()));
    }
  }
  return pairs;
}

// In both views: a new file store is a 32-bit machine's registry, which has
// one view, so it must answer as each view of Windows does.
TEST(RegistryProbe, MatchesWindowsButForTheDocumentedDifferences) {
  auto documented = DocumentedDifferences();
  std::vector<bool> seen(documented.size());
  for (const char* view : {"64", "32"}) {
    TempDir dir;
    std::vector<std::string> native = Lines(
        RunProcess({KOVALSET_NATIVE_PROBE, view}, {"KOVALSET_REGISTRY=" + dir.File("hklm.reg")})
            .out);
    std::vector<std::string> windows =
        Lines(Wine({WindowsProgram("registry_probe.exe"), view}).out);
    // A SOFTWARE hive is Windows' own format: it must answer exactly as Windows.
    WriteFile(dir.File("SOFTWARE"), EmptyHive());
    EXPECT_EQ(windows, Lines(RunProcess({KOVALSET_NATIVE_PROBE, view},
                                        {"KOVALSET_REGISTRY=" + dir.File("SOFTWARE")})
                                 .out))
        << "a hive, in the " << view << "-bit view";
    ASSERT_EQ(native.size(), windows.size()) << view << "-bit view";
    ASSERT_GT(native.size(), 20u);
    for (size_t i = 0; i < native.size(); ++i) {
      if (native[i] == windows[i]) continue;
      bool known = false;
      for (size_t d = 0; d < documented.size(); ++d) {
        if (documented[d] == std::make_pair(native[i], windows[i])) known = seen[d] = true;
      }
      EXPECT_TRUE(known) << "undocumented difference in the " << view
                         << "-bit view:\n  file registry: " << native[i]
                         << "\n  Windows:       " << windows[i];
    }
  }
  for (size_t d = 0; d < documented.size(); ++d) {
    EXPECT_TRUE(seen[d]) << "documented but not seen: " << documented[d].first;
  }
}

// The 32-bit table (KOVALSET_WIN32_PROBE names the probe) runs by the loader
// the probe started, else is skipped with the probe's reason; the 64-bit one
// by WINE, or wine64.
bool FindWine(std::string* why) {
  if (const char* probe = getenv("KOVALSET_WIN32_PROBE")) {
    ProcessResult probed = RunProcess({"bash", probe}, {});
    std::string line = probed.out.substr(0, probed.out.find('\n'));
    if (probed.status != 0) *why = line;
    wine_program = line;
    return probed.status == 0;
  }
  const char* wine = getenv("WINE");
  wine_program = wine != nullptr ? wine : "/usr/lib/wine/wine64";
  if (access(wine_program.c_str(), X_OK) != 0) *why = "no Wine at " + wine_program;
  return why->empty();
}

bool Available(std::string* why) {
  if (!FindWine(why)) return false;
  for (const char* program : {"kovalset.exe", "registry_state.exe", "registry_probe.exe"}) {
    if (access(WindowsProgram(program).c_str(), R_OK) != 0) {
      *why = "no Windows build: " + WindowsProgram(program) + " is missing";
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::string why;
  if (!Available(&why)) {
    printf("Skipped: %s\n", why.c_str());
    return 77;
  }
  wine_prefix = std::make_unique<TempDir>();
  mkdir(wine_prefix->File("tmp").c_str(), 0700);
  std::string wineserver = wine_program.substr(0, wine_program.rfind('/') + 1) + "wineserver";
  std::vector<std::string> env = WineEnv();
  // A fresh prefix, made by a server that ends after its last process:
  // waiting for that lets the prefix's services finish setting it up, the
  // only time Wine was seen to fail to start a program at all. Then one
  // server kept alive for the whole run. Wine's own long-lived processes
  // must not hold the pipes of a test.
  ProcessResult boot = RunProcess({wine_program, "wineboot", "-i"}, env, "/dev/null");
  if (boot.status != 0) {
    printf("Skipped: Wine is installed but cannot start (wineboot exited with %d)\n", boot.status);
    RunProcess({wineserver, "-k"}, env, "/dev/null");
    return 77;
  }
  RunProcess({"timeout", "120", wineserver, "-w"}, env, "/dev/null");
  RunProcess({wineserver, "-p"}, env, "/dev/null");
  RunProcess({wine_program, "wineboot"}, env, "/dev/null");  // the services, started again
  // wineboot may return while the prefix's services still set it up: the
  // first tests wait until a program reads both views of the registry.
  for (int i = 0; i < 50 && (RegistryState({"vendors", "32"}).status != 0 ||
                             RegistryState({"vendors", "64"}).status != 0);
       ++i) {
    usleep(100000);
  }
  int result = RUN_ALL_TESTS();
  RunProcess({wineserver, "-k"}, env, "/dev/null");
  RunProcess({wineserver, "-w"}, env, "/dev/null");
  wine_prefix.reset();
  return result;
}
