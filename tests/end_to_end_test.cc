// Runs the built program against a store file in a temporary folder.
#include "tests/end_to_end.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "fileregistry/unicode/utf16.h"
#include "tests/hive_fixture.h"
#include "tests/test_support.h"

namespace {

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The dialects of .reg text that Windows' tools write.
enum class Dialect { kRegedit4, kUnicodeUtf8, kUnicodeUtf8Bom, kUnicodeUtf16 };

// A kind of store file the settings may be found in: each dialect that
// Windows' tools write, from a 32-bit or a 64-bit machine. In the latter the
// settings live in the 32-bit view, under WOW6432Node.
struct StoreKind {
  const char* name;
  Dialect dialect;  // a hive's texts are Unicode
  bool sixty_four_bit;
  bool hive = false;  // a SOFTWARE hive, through hivex
  // A hive Windows left dirty: the file holds stale settings, its logs
  // the seeded ones.
  std::optional<HiveLogFormat> logs = std::nullopt;
};

void PrintTo(const StoreKind& kind, std::ostream* os) { *os << kind.name; }

const StoreKind kStoreKinds[] = {
    {"Regedit4", Dialect::kRegedit4, false},
    {"Regedit4From64Bit", Dialect::kRegedit4, true},
    {"Utf16From64Bit", Dialect::kUnicodeUtf16, true},
    {"Utf8", Dialect::kUnicodeUtf8, false},
    {"Utf8Bom", Dialect::kUnicodeUtf8Bom, false},
    {"Hive", Dialect::kUnicodeUtf16, false, true},
    {"HiveFrom64Bit", Dialect::kUnicodeUtf16, true, true},
    {"DirtyHive", Dialect::kUnicodeUtf16, false, true, HiveLogFormat::kNew},
    {"DirtyHiveOldLogFrom64Bit", Dialect::kUnicodeUtf16, true, true, HiveLogFormat::kOld},
};

struct Layout {
  StoreKind kind;
  std::string primary, fallback;
  explicit Layout(const StoreKind& store_kind) : kind(store_kind) {
    primary = kind.sixty_four_bit ? Wow6432Path(kPrimaryKeyPath) : kPrimaryKeyPath;
    fallback = kind.sixty_four_bit ? Wow6432Path(kFallbackKeyPath) : kFallbackKeyPath;
  }
};

// A key's section line and its values; the sections of both settings keys
// of `state`, each with a blank line behind it.
std::string Section(const std::string& path, const KeyState& key) {
  std::string text = "[HKEY_LOCAL_MACHINE\\" + path + "]\n";
  if (key.protocols) text += "\"Supported protocols\"=" + Quoted(*key.protocols) + "\n";
  if (key.debug) text += "\"Debug messages\"=" + Quoted(*key.debug) + "\n";
  return text;
}
std::string Sections(const std::string& primary, const std::string& fallback,
                     const StoreState& state) {
  return (state.primary.exists ? Section(primary, state.primary) + "\n" : "") +
         (state.fallback.exists ? Section(fallback, state.fallback) + "\n" : "");
}

// What every store holds besides the settings, ahead of them: other
// software's keys, a hand-edited line, and another hive's key of the same
// name as the settings key.
std::string OtherKeys(const Layout& layout) {
  std::string text = std::string(layout.kind.dialect == Dialect::kRegedit4
                                     ? "REGEDIT4"
                                     : "Windows Registry Editor Version 5.00") +
                     "\n\n; other software's settings share the file\n"
                     "[HKEY_LOCAL_MACHINE\\Software\\Other]\n\"Kept\"=dword:00000001\n"
                     "  \"Spaced\" = \"by hand\"  ; a note\n\n"
                     "[HKEY_CURRENT_USER\\" +
                     std::string(kPrimaryKeyPath) + "]\n\"Supported protocols\"=\"HKCU\"\n\n";
  if (layout.kind.sixty_four_bit) {
    text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node]\n\n" +
            Sections(kPrimaryKeyPath, kFallbackKeyPath, kOtherView);
  }
  return text;
}

// The file's bytes for `text`, in the layout's encoding.
std::string Encoded(const Layout& layout, const std::string& text) {
  switch (layout.kind.dialect) {
    case Dialect::kRegedit4:
    case Dialect::kUnicodeUtf8: return text;
    case Dialect::kUnicodeUtf8Bom: return "\xef\xbb\xbf" + text;
    case Dialect::kUnicodeUtf16: break;
  }
  return "\xff\xfe" + Utf16Of(text);
}

std::string SeedText(const Layout& layout, const StoreState& state) {
  return Encoded(layout, OtherKeys(layout) + Sections(layout.primary, layout.fallback, state));
}

// In a SOFTWARE hive, mounted at HKLM\Software: the same keys as in text,
// and values of other types beside them.
std::string InHive(const std::string& path) { return path.substr(sizeof("Software")); }

void SeedHive(const Layout& layout, const StoreState& state, const std::string& file) {
  HiveWriter hive(file);
  hive.SetValue("Other", "Kept", 4, std::string("\x01\0\0\0", 4));
  hive.SetValue("Other", "Blob", 3, std::string("\0\xff", 2));
  hive.SetValue("Other", "Path", 2, Utf16Of("%SystemRoot%") + std::string(2, '\0'));
  auto seed = [&hive](const std::string& path, const KeyState& key) {
    if (!key.exists) return;
    hive.AddKey(InHive(path));
    if (key.protocols) hive.SetText(InHive(path), "Supported protocols", *key.protocols);
    if (key.debug) hive.SetText(InHive(path), "Debug messages", *key.debug);
  };
  if (layout.kind.sixty_four_bit) {
    hive.AddKey("WOW6432Node");
    seed(kPrimaryKeyPath, kOtherView.primary);
    seed(kFallbackKeyPath, kOtherView.fallback);
  }
  seed(layout.primary, state.primary);
  seed(layout.fallback, state.fallback);
  hive.Commit();
}

// What the hive holds, read by hivex: texts must be UTF-16LE ended by a
// zero, as Windows writes them.
StoreState ReadHive(const Layout& layout, const std::string& file) {
  using Value = std::pair<uint32_t, std::string>;
  EXPECT_EQ(Value(4, std::string("\x01\0\0\0", 4)), HiveValue(file, "Other", "Kept"))
      << "the other key was lost";
  EXPECT_EQ(Value(3, std::string("\0\xff", 2)), HiveValue(file, "Other", "Blob"));
  EXPECT_EQ(Value(2, Utf16Of("%SystemRoot%") + std::string(2, '\0')),
            HiveValue(file, "Other", "Path"));
  auto text = [&file](const std::string& key, const char* name) -> std::optional<std::string> {
    std::optional<Value> value = HiveValue(file, key, name);
    if (!value) return std::nullopt;
    const std::string& bytes = value->second;
    EXPECT_EQ(1u, value->first) << "not REG_SZ: " << name;
    if (bytes.empty()) return "";  // as Windows stores a text of no bytes
    EXPECT_EQ(std::string(2, '\0'), bytes.substr(bytes.size() - std::min<size_t>(2, bytes.size())))
        << "no terminating zero: " << name;
    return fileregistry::Utf16ToUtf8(bytes.substr(0, bytes.size() - 2));
  };
  StoreState views[2];
  std::vector<std::string> keys = {layout.primary, layout.fallback};
  if (layout.kind.sixty_four_bit) keys.insert(keys.end(), {kPrimaryKeyPath, kFallbackKeyPath});
  for (size_t k = 0; k < keys.size(); ++k) {
    KeyState& key = k % 2 == 0 ? views[k / 2].primary : views[k / 2].fallback;
    key = {HiveValue(file, InHive(keys[k])).has_value(),
           text(InHive(keys[k]), "Supported protocols"), text(InHive(keys[k]), "Debug messages")};
  }
  if (layout.kind.sixty_four_bit) {
    EXPECT_EQ(kOtherView, views[1]) << "the 64-bit view changed";
  }
  return views[0];
}

// The Linux build on a store file in a temporary folder.
class FileStore : public Platform {
 public:
  explicit FileStore(const StoreKind& kind = kStoreKinds[0]) : layout_(kind) {}
  void Seed(const StoreState& state) override {
    seeded_ = state;
    if (layout_.kind.hive) {
      SeedHive(layout_, state, store_);
      if (layout_.kind.logs) {
        const KeyState stale{true, "STALE", "STALE"};
        SeedHive(layout_, StoreState{stale, stale}, recovered_.File("before"));
        WriteFile(recovered_.File("after"), ReadFile(store_));
        WriteDirtyHive(store_, ReadFile(recovered_.File("before")), ReadFile(store_),
                       *layout_.kind.logs);
        for (const std::string& name : ListFolder(dir_.path()))
          logs_[name] = ReadFile(dir_.File(name));
      }
      seed_ = ReadFile(store_);
    } else {
      seed_ = SeedText(layout_, state);
      WriteFile(store_, seed_);
    }
  }
  ProcessResult Run(const std::vector<std::string>& words) override {
    return RunProcess(KovalsetCommand(words), {"KOVALSET_REGISTRY=" + store_});
  }
  // A hive as hivex reads it; a text store byte for byte, where a key the
  // run made is a section at the end, spelt as the file spells its parent.
  void ExpectHolds(const StoreState& state) override {
    if (layout_.kind.hive) {
      EXPECT_EQ(state, HiveState());
      return;
    }
    StoreState kept = state;
    std::string made;
    if (!seeded_.primary.exists && state.primary.exists) {
      kept.primary = KeyState{};
      std::string spelt =
          layout_.kind.sixty_four_bit ? "SOFTWARE" + layout_.primary.substr(8) : layout_.primary;
      made = Section(spelt, state.primary);
    }
    EXPECT_EQ(Encoded(layout_, OtherKeys(layout_) +
                                   Sections(layout_.primary, layout_.fallback, kept) + made),
              ReadFile(store_));
  }
  StoreState HiveState() {
    if (!layout_.kind.logs) return ReadHive(layout_, store_);
    for (const auto& [name, bytes] : logs_) {
      EXPECT_TRUE(name == "hklm.reg" || bytes == ReadFile(dir_.File(name))) << name << " changed";
    }
    // Unchanged, it reads as the hive its logs make; written, it is clean.
    std::string hive = ReadFile(store_);
    if (hive == seed_) return ReadHive(layout_, recovered_.File("after"));
    EXPECT_EQ(GetLe(hive, 4), GetLe(hive, 8)) << "still dirty";
    EXPECT_LT(8u, GetLe(hive, 4)) << "sequence numbers that logs already used";
    return ReadHive(layout_, store_);
  }

  Layout layout_;
  TempDir dir_;
  std::string store_ = dir_.File("hklm.reg");
  std::string seed_;
  StoreState seeded_;
  TempDir recovered_;                        // the hive a dirty one's logs make
  std::map<std::string, std::string> logs_;  // the files beside a dirty hive, as seeded
};

class EndToEnd : public ::testing::TestWithParam<std::tuple<RunCase, StoreKind>> {};

TEST_P(EndToEnd, OutputStatusAndStore) {
  const auto& [c, kind] = GetParam();
  FileStore platform(kind);
  CheckRunCase(&platform, c);
  if (c.after == c.before) {
    EXPECT_EQ(platform.seed_, ReadFile(platform.store_)) << "rewritten without need";
  }
  for (const std::string& name : ListFolder(platform.dir_.path())) {
    EXPECT_TRUE(name == "hklm.reg" || platform.logs_.count(name)) << "left behind: " << name;
  }
}

// Each case on every store kind, but for what only the command line decides.
std::vector<std::tuple<RunCase, StoreKind>> CasesAndKinds() {
  std::vector<std::tuple<RunCase, StoreKind>> runs;
  for (const RunCase& c : RunCases()) {
    for (const StoreKind& kind : kStoreKinds) {
      if (!c.command_line_only || &kind == kStoreKinds) runs.emplace_back(c, kind);
    }
  }
  return runs;
}

INSTANTIATE_TEST_SUITE_P(FileStore, EndToEnd, ::testing::ValuesIn(CasesAndKinds()),
                         [](const ::testing::TestParamInfo<std::tuple<RunCase, StoreKind>>& info) {
                           return std::get<0>(info.param).name + "_" + std::get<1>(info.param).name;
                         });

// Texts beyond ASCII: the program's code page is UTF-8, which a Unicode
// store keeps as such and REGEDIT4 as bytes; bytes that are not UTF-8 have
// no place in a Unicode store.
TEST(EndToEndFile, TextsBeyondAsciiInEachDialect) {
  const std::string euro = "caf\xc3\xa9 \xe2\x82\xac", latin1 = "caf\xe9";
  for (const StoreKind& kind : kStoreKinds) {
    FileStore platform(kind);
    platform.Seed(StoreState{{true, "SPX", std::nullopt}, {}});
    ProcessResult run = platform.Run({"debugmsg", euro});
    EXPECT_EQ(0, run.status) << kind.name;
    platform.ExpectHolds(StoreState{{true, "SPX", euro}, {}});

    std::string before = ReadFile(platform.store_);
    run = platform.Run({"debugmsg", latin1});
    bool unicode = kind.dialect != Dialect::kRegedit4;
    EXPECT_EQ(unicode ? 1 : 0, run.status) << kind.name;
    EXPECT_NE(unicode, run.out.find("Error: Unable to update Debug Messages : rc 1113.\n") ==
                           std::string::npos)
        << kind.name;
    if (unicode) {
      EXPECT_EQ("kovalset: " + platform.store_ +
                    ": a Unicode store cannot hold text that is not UTF-8 (rc 1113)\n",
                run.err);
      EXPECT_EQ(before, ReadFile(platform.store_)) << kind.name;
    } else {
      platform.ExpectHolds(StoreState{{true, "SPX", latin1}, {}});
    }
  }
}

// A store not named is kept in XDG_DATA_HOME, else in HOME/.local/share (an
// empty KOVALSET_REGISTRY names none); a first run writes a plain store
// there and nothing else anywhere.
TEST(EndToEndFile, TheDefaultStore) {
  const std::pair<const char*, const char*> places[] = {
      {"KOVALSET_REGISTRY", "home/.local/share/kovalset/hklm.reg"},
      {"KOVALSET_REGISTRY=", "home/.local/share/kovalset/hklm.reg"},
      {"XDG_DATA_HOME=#/data", "data/kovalset/hklm.reg"},
  };
  for (const auto& [setting, store] : places) {
    TempDir dir;
    MakeLayout(dir.path(), "cwd/ data/ home/");
    std::string env = setting, path = store;
    if (size_t at = env.find('#'); at != std::string::npos) env.replace(at, 1, dir.path());
    std::vector<std::string> argv = {"sh", "-c", "cd \"$0\" && exec \"$@\"", dir.File("cwd")};
    for (const std::string& word : KovalsetCommand({"debugmsg", "a\"b\\c"})) argv.push_back(word);
    ProcessResult run =
        RunProcess(argv, {"KOVALSET_REGISTRY", "XDG_DATA_HOME", "HOME=" + dir.File("home"), env});
    EXPECT_EQ(0, run.status) << setting << ": " << run.out << run.err;
    std::vector<std::string> tree = {"cwd", "data", "home", path}, made = ListTree(dir.path());
    for (size_t at = path.find('/'); (at = path.find('/', at + 1)) != std::string::npos;) {
      tree.push_back(path.substr(0, at));
    }
    std::sort(tree.begin(), tree.end());
    std::sort(made.begin(), made.end());
    EXPECT_EQ(tree, made) << setting;
    EXPECT_EQ(
        SettingsText("\"Supported protocols\"=\"SPX,TCPIP\"\n\"Debug messages\"=\"a\\\"b\\\\c\"\n"),
        ReadFile(dir.File(store)))
        << setting;
  }
}

// Without HOME, as under cron: the home folder of the password database.
TEST(EndToEndFile, WithoutHomeThePasswordDatabaseSays) {
  if (!NobodysProgram::Possible()) GTEST_SKIP() << "needs root and setpriv";
  NobodysProgram program;
  const std::pair<const char*, std::string> users[] = {
      // nobody's home folder is /nonexistent, which cannot be made.
      {"--reuid=65534",
       "kovalset: /nonexistent/.local/share/kovalset: cannot make the folder: Permission denied "
       "(rc 3)\n"},
      {"--reuid=54321",
       "kovalset: no home folder to keep the store in: set KOVALSET_REGISTRY or "
       "HOME (rc 3)\n"},
  };
  for (const auto& [user, err] : users) {
    std::vector<std::string> argv = program.Command({});
    argv[1] = user;
    ProcessResult run = RunProcess(argv, {"KOVALSET_REGISTRY", "XDG_DATA_HOME", "HOME"});
    EXPECT_EQ(err, run.err);
    EXPECT_EQ(1, run.status);
  }
}

// Output that cannot be written fails the run, which still finishes.
TEST(EndToEndFile, OutputThatCannotBeWrittenFailsTheRun) {
  for (bool pipe_closed : {false, true}) {
    TempDir dir;
    int ends[2] = {-1, -1};
    if (pipe_closed) {
      ASSERT_EQ(0, pipe(ends));
      close(ends[0]);
    } else {
      ends[1] = open("/dev/full", O_WRONLY | O_CLOEXEC);
    }
    pid_t pid = StartProcess(KovalsetCommand({"debugmsg", "On"}),
                             {"KOVALSET_REGISTRY=" + dir.File("hklm.reg")}, ends[1], 2);
    close(ends[1]);
    EXPECT_EQ(1, WaitProcess(pid)) << pipe_closed;
    EXPECT_EQ(SettingsText("\"Supported protocols\"=\"SPX,TCPIP\"\n\"Debug messages\"=\"On\"\n"),
              ReadFile(dir.File("hklm.reg")));
  }
}

}  // namespace
