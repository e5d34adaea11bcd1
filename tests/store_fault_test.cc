// The file store under the faults one run meets: odd files where the store
// should be, other users' files and links, too little room, and what other
// programs and Windows keep beside it. Each row lays out a folder, runs the
// program once, and checks what it said and what the files hold after.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/end_to_end.h"
#include "tests/hive_fixture.h"

namespace {

const std::string kStored = SettingsText("\"Supported protocols\"=\"SPX\"\n");
const std::string kStoredTcpip = SettingsText("\"Supported protocols\"=\"TCPIP\"\n");
const std::string kUpdating =
    "Current Supported Protocols : SPX\nUpdating Supported Protocols to : TCPIP\n";
const std::string kDefaultCreated =
    "Supported Protocols entry does not exist.\nCreating new entry : SPX,TCPIP.\n";

// What follows the banner when the key cannot be made, or the list cannot
// be updated, with `rc`.
std::string NoKey(int rc) {
  return kCreating + ("Error: Unable to create key: rc " + std::to_string(rc)) + ".\n";
}
std::string NoUpdate(int rc) {
  return kUpdating + "Error: Unable to update Supported Protocols: rc " + std::to_string(rc) +
         ".\n";
}
const std::string kDebugFails =
    "Debug Messages entry does not exist.\nUpdating Debug Messages to : On\n"
    "Error: Unable to update Debug Messages : rc 5.\n";

// The folder a row lays out, and the store's path in it.
struct Place {
  std::string dir, store;
};
using Step = std::function<void(const Place&)>;

struct Fault {
  const char* name;
  const char* words;  // the run's, between spaces
  Step arrange;
  std::string output;  // what follows the banner
  int status;
  bool untouched;  // the store's bytes, and the names in its folder and the test's, stay
  // Standard error: "@" stands for the store, "#" for the folder; one that
  // begins with ':' is behind "kovalset: @".
  std::string err = "";
  Step check = nullptr;         // what else the files must hold after
  const char* at = "hklm.reg";  // the store, in the folder
  const char* as = nullptr;     // setpriv's options for the user who runs it; none: root
  const char* limit = nullptr;  // sh's ulimit options for the run
  // The folder a tmpfs of 64 MiB, remounted with these options once laid
  // out ("ro": read-only).
  const char* disk = nullptr;
};

void PrintTo(const Fault& fault, std::ostream* os) { *os << fault.name; }

std::vector<std::string> Words(const char* text) {
  std::vector<std::string> words;
  std::istringstream in(text != nullptr ? text : "");
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// nobody; two users who share the group 5000; root, for a folder laid out
// with files of other users.
const char kNobody[] = "--reuid=65534 --regid=65534 --clear-groups";
const char kUser1[] = "--reuid=1000 --regid=1000 --groups=5000";
const char kUser2[] = "--reuid=1001 --regid=1001 --groups=5000";
const char kRoot[] = "--reuid=0";
const uid_t kNobodyUid = NobodysProgram::kUid;

// Runs the program on `store` with `words`, core dumps off and under
// `limit`: as root, or as the user that setpriv's options `as` give, under
// umask 077.
ProcessResult RunAs(const char* as, const char* words, const std::string& store,
                    const char* limit = nullptr) {
  static const NobodysProgram program;
  std::vector<std::string> argv = Words(as);
  if (as != nullptr) argv.insert(argv.begin(), "setpriv");
  std::string script = std::string("ulimit -c 0 && ") + (limit ? "ulimit " : "") +
                       (limit ? limit : "") + (limit ? " && " : "") + (as ? "umask 077 && " : "") +
                       "exec \"$0\" \"$@\"";
  argv.insert(argv.end(), {"sh", "-c", script, as ? program.path() : ProgramPath()});
  for (const std::string& word : Words(words)) argv.push_back(word);
  return RunProcess(argv, {"KOVALSET_REGISTRY=" + store});
}

// Arrangements: the store's bytes, made when the row runs.
Step Lay(std::string bytes) {
  return [bytes](const Place& p) { WriteFile(p.store, bytes); };
}
Step Lay(std::string (*make)()) {
  return [make](const Place& p) { WriteFile(p.store, make()); };
}
std::string BigText(size_t bytes) {
  return "REGEDIT4\n\n" + FillerText(bytes / 100) + kSection + "\"Supported protocols\"=\"SPX\"\n";
}
// An empty hive as hivex writes it; one holding the list SPX.
std::string Hive() {
  return HiveBytes([](HiveWriter*) {});
}
std::string SpxHive() {
  return HiveBytes(
      [](HiveWriter* h) { h->SetText(kPrimaryKeyInHive, "Supported protocols", "SPX"); });
}
std::string SystemHive() {
  return HiveBytes([](HiveWriter* h) {
    h->SetText("ControlSet001\\Control", "Current User", "USERNAME");
    h->SetText("Select", "Current", "1");
    h->AddKey("Setup");
  });
}
// An empty hive whose base block names it `file_name`.
Step NamedHive(const char* file_name) {
  return [file_name](const Place& p) { Lay(Hive)(p), NameHive(p.store, file_name); };
}

// A hive holding the list SPX and the debug setting On, its bytes then
// damaged by `damage`.
Step Damaged(void (*damage)(std::string* hive)) {
  return [damage](const Place& p) {
    std::string hive = HiveBytes([](HiveWriter* h) {
      h->SetText(kPrimaryKeyInHive, "Supported protocols", "SPX");
      h->SetText(kPrimaryKeyInHive, "Debug messages", "On");
    });
    damage(&hive);
    WriteFile(p.store, hive);
  };
}
// The key cell of `key`, and the offset of its list of subkeys.
size_t Key(const std::string& hive, const char* key) { return CellAt(hive, "nk", key); }
uint32_t ListOf(const std::string& hive, const char* key) {
  return static_cast<uint32_t>(GetLe(hive, Key(hive, key) + 28));
}
const char kVendor[] = "Calderan Software";
void SharedKeyList(std::string* h) { PutLe(h, Key(*h, "Linvarro") + 28, ListOf(*h, kVendor)); }
void NoKeysCounted(std::string* h) { PutLe(h, Key(*h, kVendor) + 20, 0); }
void NoKeysListed(std::string* h) { PutLe(h, 4096 + ListOf(*h, kVendor) + 6, 0, 2); }
void DataInItsOwnCell(std::string* h) {
  size_t cell = CellAt(*h, "vk", "Debug messages");
  PutLe(h, cell + 8, cell - 4 - 4096);
}

// A hive holding the list SPX whose logs say TCPIP, with `filler` bytes
// more of another value.
void HiveWithLogs(const Place& p, size_t filler = 0) {
  std::string after = HiveBytes([filler](HiveWriter* h) {
    h->SetText(kPrimaryKeyInHive, "Supported protocols", "TCPIP");
    if (filler > 0) h->SetValue("Other", "Filler", 3, std::string(filler, 'f'));
  });
  WriteDirtyHive(p.store, SpxHive(), after, HiveLogFormat::kNew);
}
const std::string kUnreplayed =
    ": the values shown are the file's, not what Windows will see: it holds changes that its "
    "logs cannot replay";
void LogsOfOthers(const Place& p) {
  HiveWithLogs(p);
  (void)!chown((p.store + ".LOG1").c_str(), kNobodyUid, kNobodyUid);
  chmod((p.store + ".LOG2").c_str(), 0666);
}
void LogFailsItsHash(const Place& p) {
  HiveWithLogs(p);
  std::string log = ReadFile(p.store + ".LOG1");
  log[log.rfind("HvLE") + 100] ^= 1;
  WriteFile(p.store + ".LOG1", log);
}
void AnotherUsersLinkBeside(const Place& p) {
  HiveWithLogs(p);
  (void)!symlink("/etc/passwd", (p.store + ".LOG").c_str());
  (void)!lchown((p.store + ".LOG").c_str(), kNobodyUid, kNobodyUid);
}
void LogWithALinkOrAnAccessList(const Place& p) {
  HiveWithLogs(p);
  (void)!link((p.store + ".LOG1").c_str(), (p.store + ".copy").c_str());
  // Group writers may write both; the list lets in one more.
  chmod(p.store.c_str(), 0664);
  chmod((p.store + ".LOG2").c_str(), 0664);
  RunProcess({"setfacl", "-m", "u:nobody:rw", p.store + ".LOG2"}, {});
}

// A hive holding the list SPX and a value `name`, its character `at` then
// made a zero, as Windows allows and hivex cannot write.
void ZeroInAValueName(const Place& p, const std::string& name, size_t at) {
  std::string hive = HiveBytes([&name](HiveWriter* h) {
    h->SetText(kPrimaryKeyInHive, "Supported protocols", "SPX");
    h->SetValue(kPrimaryKeyInHive, name, 4, std::string("*\0\0\0", 4));
  });
  hive[CellAt(hive, "vk", name) + 20 + at] = '\0';
  WriteFile(p.store, hive);
}

// A world-writable sticky folder ww holding the store: a symlink owned by
// `owner` to a file in root's private folder.
void StickyFolderLink(const Place& p, uid_t owner) {
  MakeFolder(p.dir + "/secret", 0700);
  WriteFile(p.dir + "/secret/empty.conf", "");
  MakeFolder(p.dir + "/ww", 01777);
  EXPECT_EQ(0, symlink((p.dir + "/secret/empty.conf").c_str(), p.store.c_str()));
  EXPECT_EQ(0, lchown(p.store.c_str(), owner, owner));
}
void SecretUntouched(const Place& p) {
  EXPECT_EQ("", ReadFile(p.dir + "/secret/empty.conf"));
  EXPECT_EQ(std::vector<std::string>{"empty.conf"}, ListFolder(p.dir + "/secret"));
}
void WrittenThroughTheLink(const Place& p) {
  EXPECT_NE("", ReadFile(p.dir + "/secret/empty.conf")) << "written through the link";
}

// Root's private folder with a store (or none), and nobody's link to it on
// the way to the store, ww/kov in a world-writable sticky folder.
void LinkOnTheWay(const Place& p, bool store_there) {
  MakeFolder(p.dir + "/secret", 0700);
  if (store_there) WriteFile(p.dir + "/secret/hklm.reg", kStored);
  MakeFolder(p.dir + "/ww", 01777);
  EXPECT_EQ(0, symlink((p.dir + "/secret").c_str(), (p.dir + "/ww/kov").c_str()));
  EXPECT_EQ(0, lchown((p.dir + "/ww/kov").c_str(), kNobodyUid, kNobodyUid));
}
void SecretStoreUntouched(const Place& p, bool store_there) {
  EXPECT_EQ(store_there ? std::vector<std::string>{"hklm.reg"} : std::vector<std::string>{},
            ListFolder(p.dir + "/secret"));
  EXPECT_EQ(store_there ? kStored : "", ReadFile(p.dir + "/secret/hklm.reg"));
}

// The store kStored, and its folder, of `owner`:`group` with `mode` and
// `folder_mode`.
void SharedStore(const Place& p, mode_t folder_mode, uid_t owner, gid_t group, mode_t mode) {
  std::string folder = MakeFolder(p.store.substr(0, p.store.rfind('/')), folder_mode);
  EXPECT_EQ(0, chown(folder.c_str(), owner, group));
  chmod(folder.c_str(), folder_mode);
  WriteFile(p.store, kStored);
  EXPECT_EQ(0, chown(p.store.c_str(), owner, group));
  chmod(p.store.c_str(), mode);
}
Step Shared(mode_t folder_mode, uid_t owner, gid_t group, mode_t mode) {
  return [=](const Place& p) { SharedStore(p, folder_mode, owner, group, mode); };
}
// A store shared by a group stays shared, whoever of the group writes it.
void StillShared(const Place& p) {
  struct stat st = {};
  EXPECT_EQ(0, stat(p.store.c_str(), &st));
  EXPECT_EQ(5000u, st.st_gid);
  EXPECT_EQ(0660u, st.st_mode & 07777);
  EXPECT_EQ(0, RunAs(kUser1, "spx", p.store).status) << "user1 shut out";
}
// Another user may write the store through an ACL, but a new file of
// theirs would shut its owner out.
void WritableThroughAnAcl(const Place& p) {
  SharedStore(p, 0777, 1000, 1000, 0600);
  EXPECT_EQ(0, RunProcess({"setfacl", "-m", "u:1001:rw", p.store}, {}).status);
}

// A store of `megabytes` MiB of zeros, which take no room on disk.
Step Sparse(off_t megabytes) {
  return [megabytes](const Place& p) {
    WriteFile(p.store, "");
    EXPECT_EQ(0, truncate(p.store.c_str(), megabytes << 20));
  };
}

// A store 50 bytes short of 1 GiB: a comment line fills it.
void NearlyOneGibibyte(const Place& p) {
  std::ofstream out(p.store, std::ios::binary);
  std::string fill(1 << 20, 'x');
  out << "REGEDIT4\n\n;";
  for (size_t left = (size_t{1} << 30) - 50 - 12; left > 0; left -= std::min(left, fill.size()))
    out.write(fill.data(), static_cast<std::streamsize>(std::min(left, fill.size())));
  out << "\n";
}
void NearlyOneGibibyteStill(const Place& p) {
  struct stat st = {};
  EXPECT_EQ(0, stat(p.store.c_str(), &st));
  EXPECT_EQ((off_t{1} << 30) - 50, st.st_size);
}

std::string Attribute(const std::string& path, const char* name) {
  char value[4096];
  ssize_t size = getxattr(path.c_str(), name, value, sizeof(value));
  return size < 0 ? std::string("none: ") + strerror(errno) : std::string(value, size);
}
// Extended attributes (POSIX ACLs, security labels) are kept by a rewrite.
void WithAttributes(const Place& p) {
  WriteFile(p.store, kStored);
  if (setxattr(p.store.c_str(), "user.origin", "kept", 4, 0) != 0 ||
      RunProcess({"setfacl", "-m", "u:nobody:r", p.store}, {}).status != 0) {
    GTEST_SKIP() << "no user extended attributes or ACLs on this file system";
  }
}
void AttributesKept(const Place& p) {
  EXPECT_EQ(kStoredTcpip, ReadFile(p.store));
  EXPECT_EQ("kept", Attribute(p.store, "user.origin"));
  EXPECT_NE(std::string::npos,
            RunProcess({"getfacl", "-c", p.store}, {}).out.find("user:nobody:r--"));
}

void Holds(const Place& p, const std::string& text) { EXPECT_EQ(text, ReadFile(p.store)); }
const std::string kCommented =
    "\"Supported protocols\"=hex(1):53,50,58 ; set by the imaging team\n";
void UsersBackup(const Place& p) {
  WriteFile(p.store, kStored);
  WriteFile(p.dir + "/.hklm.reg.tmp-backup", "mine");
}

const Fault kFaults[] = {
    // Other users' links, files and folders; a store the user may not write.
    {"AnotherUsersSymlinkInAStickyFolder", "tcpip",
     [](const Place& p) { StickyFolderLink(p, kNobodyUid); }, NoKey(5), 1, true,
     ": a symlink of another user (rc 5)\n", SecretUntouched, "ww/hklm.reg", kRoot},
    {"AnotherUsersSymlinkOnTheWay", "tcpip", [](const Place& p) { LinkOnTheWay(p, true); },
     NoKey(5), 1, true, "kovalset: #/ww/kov: a symlink of another user (rc 5)\n",
     [](const Place& p) { SecretStoreUntouched(p, true); }, "ww/kov/hklm.reg", kRoot},
    {"AnotherUsersSymlinkOnTheWayToNoStore", "tcpip",
     [](const Place& p) { LinkOnTheWay(p, false); }, NoKey(5), 1, true,
     "kovalset: #/ww/kov: a symlink of another user (rc 5)\n",
     [](const Place& p) { SecretStoreUntouched(p, false); }, "ww/kov/hklm.reg", kRoot},
    {"OwnSymlinkInAStickyFolder", "tcpip", [](const Place& p) { StickyFolderLink(p, 0); },
     std::string(kCreating) + "Supported Protocols entry does not exist.\n" +
         "Creating new entry : TCPIP.\n",
     0, false, "", WrittenThroughTheLink, "ww/hklm.reg", kRoot},
    {"GroupSharedStore", "tcpip", Shared(02775, 1000, 5000, 0660), kUpdating, 0, false, "",
     StillShared, "shared/hklm.reg", kUser2},
    {"OwnerWouldLoseAccess", "tcpip", WritableThroughAnAcl, NoUpdate(5), 1, true,
     ": rewritten by this user, it would no longer be readable and writable by its owner (rc 5)\n",
     nullptr, "acl/hklm.reg", kUser2},
    {"FolderTheWriterMayWriteButNotRead", "tcpip", Shared(0333, kNobodyUid, kNobodyUid, 0644),
     kUpdating, 0, false, "", [](const Place& p) { Holds(p, kStoredTcpip); }, "own/hklm.reg",
     kNobody},
    {"StoreInRootsFolder", "tcpip debugmsg On", Shared(0755, 0, 0, 0644), NoUpdate(5) + kDebugFails,
     1, true, ": Permission denied (rc 5)\n", nullptr, "root/hklm.reg", kNobody},
    {"ReadOnlyStoreInTheUsersFolder", "tcpip debugmsg On",
     Shared(0755, kNobodyUid, kNobodyUid, 0444), NoUpdate(5) + kDebugFails, 1, true,
     ": Permission denied (rc 5)\n", nullptr, "own/hklm.reg", kNobody},
    // One process, and no other for the hive's writer.
    {"NoRoomForAnotherProcess", "tcpip",
     [](const Place& p) { SharedStore(p, 0755, kNobodyUid, kNobodyUid, 0644), Lay(Hive)(p); },
     NoKey(8), 1, true,
     ": cannot start the process that writes it: Resource temporarily unavailable (rc 8)\n",
     nullptr, "own/hklm.reg",
     "--reuid=65534 --regid=65534 --clear-groups prlimit --nproc=1 env "
     "ASAN_OPTIONS=detect_leaks=0"},
    {"FileOfFourGigabytes", "tcpip", Sparse(4 << 10), NoKey(223), 1, false,
     ": larger than 1 GiB, the most a store may be (rc 223)\n"},
    {"LargeFileThatIsNoStore", "tcpip", Sparse(512), NoKey(1009), 1, false,
     ":1: not a registry file\n"},
    {"ExtendedAttributes", "tcpip", WithAttributes, kUpdating, 0, false, "", AttributesKept},

    // Odd things where the store should be.
    {"Folder", "", [](const Place& p) { mkdir(p.store.c_str(), 0755); }, NoKey(5), 1, true,
     ": is a folder (rc 5)\n"},
    {"DanglingSymlink", "",
     [](const Place& p) { (void)!symlink("missing/x.reg", p.store.c_str()); }, NoKey(3), 1, true,
     ": No such file or directory (rc 3)\n"},
    {"LoopingSymlink", "", [](const Place& p) { (void)!symlink(p.store.c_str(), p.store.c_str()); },
     NoKey(1921), 1, true, ": Too many levels of symbolic links (rc 1921)\n"},
    {"NamedPipe", "", [](const Place& p) { mkfifo(p.store.c_str(), 0644); }, NoKey(1009), 1, false,
     ": not a regular file (rc 1009)\n"},
    {"EmptyFile", "", Lay(""), kCreating + kDefaultCreated, 0, false},
    {"Utf16ByteOrderMark", "", Lay(std::string("\xff\xfeR\0E\0G\0\n\0", 10)), NoKey(1009), 1, true,
     ":1: not a registry file\n"},
    {"ZeroByteInside", "", Lay(SettingsText(std::string("\"Supported protocols\"=\"S\0X\"\n", 28))),
     NoKey(1009), 1, true, ":4: zero byte\n"},
    {"BadEscape", "", Lay(SettingsText("\"Supported protocols\"=\"\\x\"\n")), NoKey(1009), 1, true,
     ":4: unknown escape in a string\n"},
    {"SectionNotClosed", "", Lay("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\n"), NoKey(1009), 1,
     true, ":3: unclosed key name\n"},
    {"ValueOutsideAnyKey", "", Lay("REGEDIT4\n\n\"a\"=\"b\"\n"), NoKey(1009), 1, true,
     ":3: value outside a key\n"},
    {"SameKeyTwice", "",
     Lay(SettingsText("\"Supported protocols\"=\"TCPIP\"\n\n") + kSection +
         "\"Supported protocols\"=\"SPX\"\n"),
     "Current Supported Protocols : SPX\n", 0, true},
    {"MegabyteLine", "",
     Lay("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Other]\n\"Big\"=\"" + std::string(1 << 20, 'm') +
         "\"\n\n" + kSection + "\"Supported protocols\"=\"SPX\"\n"),
     "Current Supported Protocols : SPX\n", 0, true},
    {"MegabyteSetting", "",
     Lay(SettingsText("\"Supported protocols\"=\"" + std::string(1 << 20, 'm') + "\"\n")),
     "Error: Unable to read Supported Protocols: rc 234.\n", 1, true},
    {"FiftyMegabytes", "", Lay([] { return BigText(50 << 20); }),
     "Current Supported Protocols : SPX\n", 0, true},
    {"ChangeWouldPassOneGibibyte", "", NearlyOneGibibyte, NoKey(223), 1, false,
     ": the change would make it larger than 1 GiB, the most a store may be (rc 223)\n",
     NearlyOneGibibyteStill},
    {"CommentBehindAHexValue", "tcpip", Lay(SettingsText(kCommented)), kUpdating, 0, false, "",
     [](const Place& p) {
       Holds(p, SettingsText("\"Supported protocols\"=\"TCPIP\" ; set by the imaging team\n"));
     }},
    {"UsersFileNamedLikeANewStore", "tcpip", UsersBackup, kUpdating, 0, false, "",
     [](const Place& p) { EXPECT_EQ("mine", ReadFile(p.dir + "/.hklm.reg.tmp-backup")); }},
    // A store named on a volume that is not mounted: nothing is made in
    // its mount point.
    {"FolderOfANamedStoreMissing", "", [](const Place&) {}, NoKey(3), 1, true,
     ": the folder #/mnt is not there (rc 3)\n", nullptr,
     "mnt/windows/Windows/System32/config/SOFTWARE"},
    {"FileWhereTheFolderOfANamedStoreShouldBe", "",
     [](const Place& p) { WriteFile(p.dir + "/file", ""); }, NoKey(3), 1, true,
     ": the folder #/file is a file (rc 3)\n", nullptr, "file/hklm.reg"},

    // Hives hivex refuses, or reads or writes wrongly, and hives Windows
    // left dirty.
    {"CorruptHive", "", Lay(EmptyHive().replace(4096, 4, "nbin")), NoKey(1009), 1, true,
     ": a hive that hivex cannot open: Operation not supported (rc 1009)\n"},
    {"HiveHeaderClaimsTwoGigabytes", "",
     Lay(EmptyHive().replace(0x28, 4, std::string("\0\xf0\xff\x7f", 4))), NoKey(1009), 1, true,
     ": a hive whose header does not fit its file (2147479552 bytes of bins in a file of 8192)\n"},
    {"HiveCutShort", "", Lay(EmptyHive().substr(0, 6000)), NoKey(1009), 1, true,
     ": a hive whose header does not fit its file (4096 bytes of bins in a file of 6000)\n"},
    {"DirtyHiveWithoutLogs", "", Lay(EmptyHive(1, 2)), NoKey(19), 1, true,
     kUnreplayed + " (no log beside it)\nkovalset: @: not written: it holds changes that its logs "
                   "cannot replay (no log beside it) (rc 19)\n"},
    // Logs another program or user could have written are not replayed.
    {"DirtyHiveLogsOfOthers", "", LogsOfOthers, "Current Supported Protocols : SPX\n", 0, true,
     kUnreplayed + " (hklm.reg.LOG1 belongs to another user; hklm.reg.LOG2 may be written by "
                   "users who cannot write the hive)\n"},
    {"DirtyHiveLogFailsItsHash", "tcpip", LogFailsItsHash, NoUpdate(19), 1, true,
     kUnreplayed + " (no log holds entry 7; entry 7 of hklm.reg.LOG1 fails its hash)\n"
                   "kovalset: @: not written: it holds changes that its logs cannot replay (no "
                   "log holds entry 7; entry 7 of hklm.reg.LOG1 fails its hash) (rc 19)\n"},
    // The others replay, but what it held may be lost by a write.
    {"DirtyHiveBesideAnotherUsersLink", "spx", AnotherUsersLinkBeside,
     "Current Supported Protocols : TCPIP\nUpdating Supported Protocols to : SPX\n"
     "Error: Unable to update Supported Protocols: rc 19.\n",
     1, true,
     ": the values shown may not be what Windows will see: not replayed: hklm.reg.LOG is a "
     "symlink of another user\nkovalset: @: not written: it holds changes that its logs cannot "
     "replay (hklm.reg.LOG is a symlink of another user) (rc 19)\n"},
    {"DirtyHiveLogWithALinkOrAnAccessList", "", LogWithALinkOrAnAccessList,
     "Current Supported Protocols : SPX\n", 0, true,
     kUnreplayed + " (hklm.reg.LOG1 has other names, hard links; hklm.reg.LOG2 has an access list "
                   "that the hive does not have)\n"},
    {"DirtyHiveGrows", "", [](const Place& p) { HiveWithLogs(p, 100000); },
     "Current Supported Protocols : TCPIP\n", 0, true},
    // A key hivex cannot read is not a missing key: nothing is made.
    {"HiveWhoseKeysCannotBeRead", "",
     [](const Place& p) { Lay(SpxHive)(p), BreakRootKeyList(p.store); }, NoKey(1016), 1, true,
     ": hivex could not read it (rc 1016)\n"},
    // Key lists and value data that hivex reads, or writes, wrongly.
    {"KeySharesItsParentsKeyList", "", Damaged(SharedKeyList), NoKey(1016), 1, true,
     ": the hive hivex wrote does not read back (rc 1016)\n"},
    {"KeyListCountsNoKeys", "", Damaged([](std::string* h) { NoKeysListed(h); }), NoKey(1016), 1,
     true, ": hivex could not read it (rc 1016)\n"},
    // A key that counts no subkeys yet lists some: hivex sees none below it.
    {"KeyCountsNoKeysButListsSome", "", Damaged(NoKeysCounted), NoKey(1016), 1, true,
     ": hivex could not read it (rc 1016)\n"},
    // As hivex leaves a key whose last subkey it deleted: no damage.
    {"KeyListLeftEmpty", "", Damaged([](std::string* h) { NoKeysCounted(h), NoKeysListed(h); }),
     kCreating + kDefaultCreated, 0, false},
    // hivex asserts when it frees data that is the value's own cell.
    {"ValueDataIsItsOwnCell", "tcpip", Damaged(DataInItsOwnCell), NoUpdate(1009), 1, true,
     ": hivex failed on it: Aborted (rc 1009)\n"},
    // hivex rewrites every value of a key when it sets one.
    {"ZeroInAnotherValuesName", "tcpip",
     [](const Place& p) { ZeroInAValueName(p, "Other_value", 5); }, NoUpdate(50), 1, true,
     std::string(": the key ") + kPrimaryKeyPath +
         " holds a value whose name has a zero character in it, which hivex would cut short "
         "(rc 50)\n"},
    {"ZeroBehindASettingsName", "debugmsg",
     [](const Place& p) { ZeroInAValueName(p, "Debug messages_old", 14); },
     "Current Supported Protocols : SPX\nDebug Messages entry does not exist.\n", 0, true},
    {"SystemHive", "", Lay(SystemHive), NoKey(5), 1, true,
     ": not written: it looks like a SYSTEM hive (its top keys include ControlSet001, Select), "
     "not a SOFTWARE one (rc 5)\n"},
    {"UserHiveNamedInItsBaseBlock", "", NamedHive("\\??\\C:\\Users\\Ann\\ntuser.dat"), NoKey(5), 1,
     true,
     ": not written: it looks like a user's hive (its base block names it NTUSER.DAT), not a "
     "SOFTWARE one (rc 5)\n"},
    {"SoftwareHiveNamedInItsBaseBlock", "", NamedHive("emRoot\\System32\\Config\\SOFTWARE"),
     kCreating + kDefaultCreated, 0, false},

    // Rooms too small for a run: a full disk, a read-only file system, too
    // little memory, too few files. Each ends in a status and a reason, the
    // store as it was.
    {"FullDisk", "tcpip", Lay([] { return BigText(80 << 10); }), NoUpdate(112), 1, true,
     ": cannot be written: the disk is full (rc 112)\n", nullptr, "hklm.reg", nullptr, nullptr,
     "size=128k"},  // filled up to what the store and 48 KiB more take
    {"ReadOnlyFileSystem", "tcpip", Lay(kStored), NoUpdate(19), 1, true,
     ": Read-only file system (rc 19)\n", nullptr, "hklm.reg", nullptr, nullptr, "ro"},
    {"TooLittleMemory", "tcpip", Lay([] { return Regedit5Utf16(BigText(16 << 20)); }), NoKey(14), 1,
     true, ": not enough memory to read it (rc 14)\n", nullptr, "hklm.reg", nullptr, "-v 60000",
     ""},
    {"TooFewFiles", "tcpip", Lay(EmptyHive()), NoKey(4), 1, true,
     ": hivex cannot be loaded: libhivex.so.0: cannot open shared object file: Too many open "
     "files (rc 4)\n",
     nullptr, "hklm.reg", nullptr, "-n 7", ""},
    {"TooFewFilesForHivex", "tcpip", Lay(EmptyHive()), NoKey(4), 1, true,
     ": hivex cannot open it: Too many open files (rc 4)\n", nullptr, "hklm.reg", nullptr, "-n 8",
     ""},
    {"TooFewFilesToRead", "tcpip", Lay(EmptyHive()), NoKey(4), 1, true,
     ": Too many open files (rc 4)\n", nullptr, "hklm.reg", nullptr, "-n 6", ""},
    // In 512-byte blocks: a new file of more than 50 KiB is refused.
    {"FileSizeLimit", "tcpip", Lay([] { return BigText(80 << 10); }), NoUpdate(223), 1, true,
     ": cannot be written: larger than the file size limit allows (rc 223)\n", nullptr, "hklm.reg",
     nullptr, "-f 100", ""},
    // Shown as read in place; only the copy hivex writes from is refused.
    {"FileSizeLimitOnAHive", "tcpip", Lay(SpxHive), NoUpdate(223), 1, true,
     ": File too large (rc 223)\n", nullptr, "hklm.reg", nullptr, "-f 4", ""},
};

// Unmounts what is mounted at `at` when it goes.
struct Mounted {
  std::string at;
  ~Mounted() {
    if (!at.empty() && umount(at.c_str()) != 0) RunProcess({"fusermount", "-u", at}, {});
  }
};

class StoreFaults : public ::testing::TestWithParam<Fault> {};

TEST_P(StoreFaults, SayWhyAndKeepWhatTheyShould) {
  const Fault& f = GetParam();
  if (f.as != nullptr && !NobodysProgram::Possible()) GTEST_SKIP() << "needs root and setpriv";
#ifdef KOVALSET_SANITIZED
  if (f.limit != nullptr) GTEST_SKIP() << "AddressSanitizer needs more room";
#endif
  TempDir temp;
  chmod(temp.path().c_str(), 0755);
  Place p{temp.path(), temp.File(f.at)};
  Mounted disk;
  if (f.disk != nullptr) {
    p = {MakeFolder(temp.File("small"), 0755), temp.File("small/") + f.at};
    if (mount("tmpfs", p.dir.c_str(), "tmpfs", 0, "size=64m") != 0) {
      GTEST_SKIP() << "cannot mount a small tmpfs here";
    }
    disk.at = p.dir;
  }
  f.arrange(p);
  if (IsSkipped()) return;
  if (f.disk != nullptr && *f.disk != '\0') {
    bool ro = f.disk == std::string("ro");
    mount(nullptr, p.dir.c_str(), nullptr, MS_REMOUNT | (ro ? MS_RDONLY : 0),
          ro ? nullptr : f.disk);
  }
  std::string folder = p.store.substr(0, p.store.rfind('/'));
  auto names = [&] { return std::make_pair(ListFolder(p.dir), ListFolder(folder)); };
  const std::string before = f.untouched ? ReadFile(p.store) : "";
  const auto names_before = names();
  // A run is given 3 s, 30 for a store of more than 32 MiB on disk.
  struct stat st = {};
  bool big = stat(p.store.c_str(), &st) == 0 && st.st_blocks > (64 << 10);
  auto begin = std::chrono::steady_clock::now();
  ProcessResult run = RunAs(f.as, f.words, p.store, f.limit);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(big ? 30 : 3));

  std::string err = f.err[0] == ':' ? "kovalset: @" + f.err : f.err;
  for (size_t at; (at = err.find('@')) != std::string::npos;) err.replace(at, 1, p.store);
  for (size_t at; (at = err.find('#')) != std::string::npos;) err.replace(at, 1, p.dir);
  EXPECT_EQ(kBanner + f.output, run.out);
  EXPECT_EQ(err, run.err);
  EXPECT_EQ(f.status, run.status);
  if (f.untouched) {
    EXPECT_TRUE(before == ReadFile(p.store)) << "the store was rewritten";
    EXPECT_EQ(names_before, names()) << "files were made or removed";
  }
  if (f.check) f.check(p);
}

INSTANTIATE_TEST_SUITE_P(Faults, StoreFaults, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault>& info) {
                           return std::string(info.param.name);
                         });

// The lines strace writes for the calls of a run with `words` and `env`
// that `options` (strace's) name.
std::vector<std::string> Traced(const std::vector<std::string>& words, std::vector<std::string> env,
                                std::vector<std::string> options) {
  TempDir dir;
  std::vector<std::string> argv = {"strace", "-f", "-qq", "-o", dir.File("trace")};
  argv.insert(argv.end(), options.begin(), options.end());
  for (const std::string& word : KovalsetCommand(words)) argv.push_back(word);
  env.push_back(kNoLeakCheck);
  ProcessResult run = RunProcess(argv, env);
  EXPECT_EQ(0, run.status) << run.err;
  std::vector<std::string> lines;
  std::istringstream calls(ReadFile(dir.File("trace")));
  for (std::string call; std::getline(calls, call);) lines.push_back(call);
  return lines;
}

// Once the store's path is walked, no call names a file by a path that
// passes through a folder: nothing another user could swap.
TEST(Faults, NoCallNamesTheStoreByItsPath) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "needs strace";
  for (bool hive : {false, true}) {
    TempDir dir;
    std::string store = MakeFolder(dir.File("ww"), 01777) + "/hklm";
    WriteFile(store, hive ? Hive() : kStored);
    for (const std::string& call :
         Traced({"tcpip", "debugmsg", "On"}, {"KOVALSET_REGISTRY=" + store},
                {"-e", "trace=%file,%desc"})) {
      EXPECT_EQ(std::string::npos, call.find("\"" + dir.path())) << call;
    }
  }
}

// The folders a first run makes for its store are flushed into their
// parents, as the store is into its folder: a power cut after the run
// cannot take them away.
TEST(Faults, MadeFoldersAreFlushedIntoTheirParents) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "needs strace";
  TempDir dir;
  std::string home = MakeFolder(dir.File("home"), 0755);
  std::vector<std::string> made, flushed;
  for (const std::string& call :
       Traced({"tcpip"}, {"HOME=" + home, "KOVALSET_REGISTRY=", "XDG_DATA_HOME="},
              {"-y", "-e", "trace=mkdirat,fsync"})) {
    size_t from = call.find('<') + 1, to = call.find('>');
    if (call.find(") = 0") == std::string::npos || from == 0) continue;
    (call.find("mkdirat(") != std::string::npos ? made : flushed)
        .push_back(call.substr(from, to - from));
  }
  EXPECT_EQ((std::vector<std::string>{home, home + "/.local", home + "/.local/share"}), made);
  for (const std::string& parent : made) {
    EXPECT_NE(flushed.end(), std::find(flushed.begin(), flushed.end(), parent)) << parent;
  }
}

// Whether the store at `path`, of `kind`, holds the list TCPIP.
bool HoldsTcpip(const std::string& path, const std::string& kind) {
  std::optional<std::string> list;
  if (kind != "hive") return ReadFile(path) == kStoredTcpip;
  return ReadHiveText(path, kPrimaryKeyInHive, "Supported protocols", &list) && list == "TCPIP";
}

// Owner and group Administrators; Everyone may read and run, no more.
const std::string kDescriptor(
    "\x01\x00\x04\x80\x14\x00\x00\x00\x24\x00\x00\x00\x00\x00\x00\x00\x34\x00\x00\x00"
    "\x01\x02\x00\x00\x00\x00\x00\x05\x20\x00\x00\x00\x20\x02\x00\x00"
    "\x01\x02\x00\x00\x00\x00\x00\x05\x20\x00\x00\x00\x20\x02\x00\x00"
    "\x02\x00\x1c\x00\x01\x00\x00\x00"
    "\x00\x00\x14\x00\xa9\x00\x12\x00\x01\x01\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00",
    80);

// A Windows volume mounted by ntfs-3g, plain and with -o permissions (where
// every chmod rewrites the security descriptor): a rewritten hive or text
// store keeps its NTFS attributes (system, archive) and its descriptor, and
// nothing is left beside it.
TEST(Faults, NtfsVolumeKeepsWhatWindowsPutThere) {
  if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs FUSE (/dev/fuse)";
  for (const char* options : {"", "permissions"}) {
    TempDir dir;
    std::string image = dir.File("ntfs.img"), volume = MakeFolder(dir.File("volume"), 0755);
    WriteFile(image, "");
    ASSERT_EQ(0, truncate(image.c_str(), 16 << 20));
    if (RunProcess({"mkntfs", "-F", "-Q", image}, {}).status != 0) {
      GTEST_SKIP() << "mkntfs cannot make a volume (package ntfs-3g)";
    }
    std::vector<std::string> mount = {"ntfs-3g", image, volume};
    if (*options) mount.insert(mount.begin() + 1, {"-o", options});
    if (RunProcess(mount, {}).status != 0) GTEST_SKIP() << "ntfs-3g cannot mount here";
    Mounted mounted{volume};
    std::string config = MakeFolder(volume + "/config", 0755);
    // A store Windows made, and one made here: put in place by a link, as
    // FUSE cannot refuse to replace in a rename.
    for (std::string kind : {"hive", "text", "none"}) {
      std::string name = kind == "hive" ? "SOFTWARE" : kind == "text" ? "hklm.reg" : "new.reg";
      std::string store = config + "/" + name, where = kind + " on ntfs-3g -o '" + options + "'";
      std::vector<std::string> folder = ListFolder(config);
      if (kind != "none") {
        WriteFile(store, kind == "hive" ? SpxHive() : kStored);
        ASSERT_EQ(0, setxattr(store.c_str(), "system.ntfs_attrib_be", "\0\0\0\x24", 4, 0));
        ASSERT_EQ(0, setxattr(store.c_str(), "system.ntfs_acl", kDescriptor.data(), 80, 0));
      }
      ProcessResult run = RunProcess(KovalsetCommand({"tcpip"}), {"KOVALSET_REGISTRY=" + store});
      EXPECT_EQ(0, run.status) << where << ": " << run.err;
      EXPECT_TRUE(HoldsTcpip(store, kind)) << where;
      folder.push_back(name);
      std::sort(folder.begin(), folder.end());
      EXPECT_EQ(folder, ListFolder(config)) << where;
      if (kind == "none") continue;
      EXPECT_EQ(std::string("\0\0\0\x24", 4), Attribute(store, "system.ntfs_attrib_be")) << where;
      EXPECT_EQ(kDescriptor, Attribute(store, "system.ntfs_acl")) << where;
    }
  }
}

}  // namespace
