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
const std::string kShown = "Current Supported Protocols : SPX\n";
const std::string kDefaultCreated =
    "Supported Protocols entry does not exist.\nCreating new entry : SPX,TCPIP.\n";

// What follows the banner when the key cannot be made, or the list cannot
// be updated, with `rc`; when the debug setting cannot be made.
std::string NoKey(int rc) {
  return kCreating + ("Error: Unable to create key: rc " + std::to_string(rc)) + ".\n";
}
std::string NoUpdate(int rc) {
  return kUpdating + "Error: Unable to update Supported Protocols: rc " + std::to_string(rc) +
         ".\n";
}
const std::string kMadeTcpip = std::string(kCreating) +
                               "Supported Protocols entry does not exist.\n"
                               "Creating new entry : TCPIP.\n";
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
  bool untouched;  // the store's bytes, and every name in the folder, stay as they were
  // Standard error: "@" stands for the store, "#" for the folder; one that
  // begins with ':' is behind "kovalset: @".
  std::string err = "";
  Step check = nullptr;         // what else the files must hold after
  const char* at = "hklm.reg";  // the store, in the folder
  // How the run is made, if not as root in the test's folder: as another
  // user ("--...", setpriv's options); on an NTFS volume ("ntfs" and
  // ntfs-3g's options); in a 64 MiB tmpfs with too little of something
  // ("-x N", ulimit's option for the run; else the tmpfs's options once
  // laid out, "ro" read-only; "" nothing less).
  const char* how = nullptr;
};

void PrintTo(const Fault& fault, std::ostream* os) { *os << fault.name; }

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// Two users who share the group 5000; nobody; root, for a folder laid out
// with files of other users.
const char kUser1[] = "--reuid=1000 --regid=1000 --groups=5000";
const char kUser2[] = "--reuid=1001 --regid=1001 --groups=5000";
const char kNobody[] = "--reuid=65534 --regid=65534 --clear-groups";
const char kRoot[] = "--reuid=0";

// Runs the program on `store` with `words`, core dumps off: as root, under
// `limit` (ulimit's option), or as the user that setpriv's options `as`
// give, under umask 077.
ProcessResult RunAs(const std::string& as, const char* words, const std::string& store,
                    const std::string& limit = "") {
  static const NobodysProgram program;
  std::vector<std::string> argv = Words(as.empty() ? "" : "setpriv " + as);
  std::string script = "ulimit -c 0 && " + (limit.empty() ? "" : "ulimit " + limit + " && ") +
                       (as.empty() ? "" : "umask 077 && ") + "exec \"$0\" \"$@\"";
  argv.insert(argv.end(), {"sh", "-c", script, as.empty() ? ProgramPath() : program.path()});
  for (const std::string& word : Words(words)) argv.push_back(word);
  return RunProcess(argv, {"KOVALSET_REGISTRY=" + store});
}

// Arrangements: the store's bytes, made when the row runs; a layout (see
// MakeLayout) whose "=" files hold what `content` makes.
Step Lay(std::string bytes) {
  return [bytes](const Place& p) { WriteFile(p.store, bytes); };
}
Step Lay(std::string (*make)()) {
  return [make](const Place& p) { WriteFile(p.store, make()); };
}
std::string Stored() { return kStored; }
Step Layout(const char* layout, std::string (*content)() = Stored) {
  return [=](const Place& p) { MakeLayout(p.dir, layout, content()); };
}
// What a file below the folder holds after.
Step Holds(const char* path, std::string bytes) {
  return [=](const Place& p) { EXPECT_EQ(bytes, ReadFile(p.dir + "/" + path)) << path; };
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
// The vendor's key cell, and the offset of its list of subkeys.
size_t Vendor(const std::string& hive) { return CellAt(hive, "nk", "Calderan Software"); }
uint32_t VendorList(const std::string& h) {
  return static_cast<uint32_t>(GetLe(h, Vendor(h) + 28));
}
void SharedKeyList(std::string* h) { PutLe(h, CellAt(*h, "nk", "Linvarro") + 28, VendorList(*h)); }
void NoKeysCounted(std::string* h) { PutLe(h, Vendor(*h) + 20, 0); }
// The key above the settings holds the settings' values too: their count
// and list.
void SharedValues(std::string* h) {
  h->replace(CellAt(*h, "nk", "Version 6.15") + 36, 8,
             h->substr(CellAt(*h, "nk", "Settings") + 36, 8));
}
void NoKeysListed(std::string* h) { PutLe(h, 4096 + VendorList(*h) + 6, 0, 2); }
void DataInItsOwnCell(std::string* h) {
  size_t cell = CellAt(*h, "vk", "Debug messages");
  PutLe(h, cell + 8, cell - 4 - 4096);
}

// A hive holding the list SPX whose logs say TCPIP, with `filler` bytes
// more of another value; then `also`.
Step HiveWithLogs(size_t filler, void (*also)(const std::string& store) = nullptr) {
  return [=](const Place& p) {
    std::string after = HiveBytes([filler](HiveWriter* h) {
      h->SetText(kPrimaryKeyInHive, "Supported protocols", "TCPIP");
      if (filler > 0) h->SetValue("Other", "Filler", 3, std::string(filler, 'f'));
    });
    WriteDirtyHive(p.store, SpxHive(), after, HiveLogFormat::kNew);
    if (also != nullptr) also(p.store);
  };
}
// What stderr says of a dirty hive whose logs do not replay, for `why`;
// and of each write, where `written`.
std::string NotReplayed(const std::string& why, bool written) {
  std::string cannot = "it holds changes that its logs cannot replay (" + why + ")";
  return ": the values shown are the file's, not what Windows will see: " + cannot + "\n" +
         (written ? "kovalset: @: not written: " + cannot + " (rc 19)\n" : "");
}
void LogsOfOthers(const std::string& store) {
  (void)!chown((store + ".LOG1").c_str(), NobodysProgram::kUid, NobodysProgram::kUid);
  chmod((store + ".LOG2").c_str(), 0666);
}
void LogFailsItsHash(const std::string& store) {
  std::string log = ReadFile(store + ".LOG1");
  log[log.rfind("HvLE") + 100] ^= 1;
  WriteFile(store + ".LOG1", log);
}
void AnotherUsersLinkBeside(const std::string& store) {
  (void)!symlink("/etc/passwd", (store + ".LOG").c_str());
  (void)!lchown((store + ".LOG").c_str(), NobodysProgram::kUid, NobodysProgram::kUid);
}
void LogWithALinkOrAnAccessList(const std::string& store) {
  (void)!link((store + ".LOG1").c_str(), (store + ".copy").c_str());
  // Group writers may write both; the list lets in one more.
  chmod(store.c_str(), 0664);
  chmod((store + ".LOG2").c_str(), 0664);
  RunProcess({"setfacl", "-m", "u:nobody:rw", store + ".LOG2"}, {});
}

// A hive holding the list SPX and a value `name`, its character `at` then
// made a zero, as Windows allows and hivex cannot write.
Step ZeroInAValueName(std::string name, size_t at) {
  return [=](const Place& p) {
    std::string hive = HiveBytes([&name](HiveWriter* h) {
      h->SetText(kPrimaryKeyInHive, "Supported protocols", "SPX");
      h->SetValue(kPrimaryKeyInHive, name, 4, std::string("*\0\0\0", 4));
    });
    hive[CellAt(hive, "vk", name) + 20 + at] = '\0';
    WriteFile(p.store, hive);
  };
}

// A store shared by a group stays shared, whoever of the group writes it.
void StillShared(const Place& p) {
  struct stat st = {};
  EXPECT_EQ(0, stat(p.store.c_str(), &st));
  EXPECT_EQ(5000u, st.st_gid);
  EXPECT_EQ(0660u, st.st_mode & 07777);
  EXPECT_EQ(0, RunAs(kUser1, "spx", p.store).status) << "user1 shut out";
}

// A store of `megabytes` MiB of zeros, which take no room on disk.
Step Sparse(off_t megabytes) {
  return [megabytes](const Place& p) {
    WriteFile(p.store, "");
    EXPECT_EQ(0, truncate(p.store.c_str(), megabytes << 20));
  };
}

// A store 50 bytes short of 1 GiB, which a comment line fills; its size.
void NearlyOneGibibyte(const Place& p) {
  std::ofstream out(p.store, std::ios::binary);
  std::string fill(1 << 20, 'x');
  out << "REGEDIT4\n\n;";
  for (size_t left = (size_t{1} << 30) - 50 - 12; left > 0; left -= std::min(left, fill.size()))
    out.write(fill.data(), static_cast<std::streamsize>(std::min(left, fill.size())));
  out << "\n";
}

// Owner and group Administrators; Everyone may read and run, no more.
const std::string kDescriptor(
    "\x01\x00\x04\x80\x14\x00\x00\x00\x24\x00\x00\x00\x00\x00\x00\x00\x34\x00\x00\x00"
    "\x01\x02\x00\x00\x00\x00\x00\x05\x20\x00\x00\x00\x20\x02\x00\x00"
    "\x01\x02\x00\x00\x00\x00\x00\x05\x20\x00\x00\x00\x20\x02\x00\x00"
    "\x02\x00\x1c\x00\x01\x00\x00\x00"
    "\x00\x00\x14\x00\xa9\x00\x12\x00\x01\x01\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00",
    80);
const std::string kSystemAndArchive("\0\0\0\x24", 4);  // NTFS attributes

// A store Windows made on an NTFS volume, with the attributes and the
// descriptor Windows gives it; kept by a rewrite, the list TCPIP in it.
Step WindowsFile(std::string (*content)()) {
  return [content](const Place& p) {
    WriteFile(p.store, content());
    EXPECT_EQ(0,
              setxattr(p.store.c_str(), "system.ntfs_attrib_be", kSystemAndArchive.data(), 4, 0));
    EXPECT_EQ(0, setxattr(p.store.c_str(), "system.ntfs_acl", kDescriptor.data(), 80, 0));
  };
}
std::string Attribute(const std::string& path, const char* name);
void KeptWhatWindowsPut(const Place& p) {
  EXPECT_EQ(kSystemAndArchive, Attribute(p.store, "system.ntfs_attrib_be"));
  EXPECT_EQ(kDescriptor, Attribute(p.store, "system.ntfs_acl"));
  EXPECT_TRUE(ReadFile(p.store) == kStoredTcpip ||
              HiveText(p.store, kPrimaryKeyInHive, "Supported protocols") == "TCPIP");
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

const Fault kFaults[] = {
    // Other users' links, files and folders; a store the user may not write.
    {"AnotherUsersSymlinkInAStickyFolder", "tcpip",
     Layout("secret/:700 secret/empty.conf ww/:1777 ww/hklm.reg->#/secret/empty.conf::65534"),
     NoKey(5), 1, true, ": a symlink of another user (rc 5)\n", nullptr, "ww/hklm.reg", kRoot},
    {"AnotherUsersSymlinkOnTheWay", "tcpip",
     Layout("secret/:700 secret/hklm.reg= ww/:1777 ww/kov->#/secret::65534"), NoKey(5), 1, true,
     "kovalset: #/ww/kov: a symlink of another user (rc 5)\n", nullptr, "ww/kov/hklm.reg", kRoot},
    {"AnotherUsersSymlinkOnTheWayToNoStore", "tcpip",
     Layout("secret/:700 ww/:1777 ww/kov->#/secret::65534"), NoKey(5), 1, true,
     "kovalset: #/ww/kov: a symlink of another user (rc 5)\n", nullptr, "ww/kov/hklm.reg", kRoot},
    {"OwnSymlinkInAStickyFolder", "tcpip",
     Layout("secret/:700 secret/empty.conf ww/:1777 ww/hklm.reg->#/secret/empty.conf"), kMadeTcpip,
     0, false, "", Holds("secret/empty.conf", kStoredTcpip), "ww/hklm.reg", kRoot},
    {"GroupSharedStore", "tcpip", Layout("shared/:2775:1000.5000 shared/hklm.reg=:660:1000.5000"),
     kUpdating, 0, false, "", StillShared, "shared/hklm.reg", kUser2},
    // Another user may write the store through an ACL, but a new file of
    // theirs would shut its owner out.
    {"OwnerWouldLoseAccess", "tcpip",
     [](const Place& p) {
       Layout("acl/:777:1000 acl/hklm.reg=:600:1000")(p);
       EXPECT_EQ(0, RunProcess({"setfacl", "-m", "u:1001:rw", p.store}, {}).status);
     },
     NoUpdate(5), 1, true,
     ": rewritten by this user, it would no longer be readable and writable by its owner (rc 5)\n",
     nullptr, "acl/hklm.reg", kUser2},
    {"FolderTheWriterMayWriteButNotRead", "tcpip", Layout("own/:333:65534 own/hklm.reg=:644:65534"),
     kUpdating, 0, false, "", Holds("own/hklm.reg", kStoredTcpip), "own/hklm.reg", kNobody},
    {"StoreInRootsFolder", "tcpip debugmsg On", Layout("hklm.reg=:644"), NoUpdate(5) + kDebugFails,
     1, true, ": Permission denied (rc 5)\n", nullptr, "hklm.reg", kNobody},
    {"ReadOnlyStoreInTheUsersFolder", "tcpip debugmsg On",
     Layout("own/::65534 own/hklm.reg=:444:65534"), NoUpdate(5) + kDebugFails, 1, true,
     ": Permission denied (rc 5)\n", nullptr, "own/hklm.reg", kNobody},
    // One process, and no other for the hive's writer.
    {"NoRoomForAnotherProcess", "tcpip", Layout("own/::65534 own/hklm.reg=::65534", Hive), NoKey(8),
     1, true,
     ": cannot start the process that writes it: Resource temporarily unavailable (rc 8)\n",
     nullptr, "own/hklm.reg",
     "--reuid=65534 --regid=65534 --clear-groups prlimit --nproc=1 env "
     "ASAN_OPTIONS=detect_leaks=0"},
    {"FileOfFourGigabytes", "tcpip", Sparse(4 << 10), NoKey(223), 1, true,
     ": larger than 1 GiB, the most a store may be (rc 223)\n"},
    {"LargeFileThatIsNoStore", "tcpip", Sparse(512), NoKey(1009), 1, true,
     ":1: not a registry file\n"},
    {"ExtendedAttributes", "tcpip", WithAttributes, kUpdating, 0, false, "", AttributesKept},
    // A Windows volume mounted by ntfs-3g, plain and with -o permissions
    // (where every chmod rewrites the security descriptor); a new store is
    // put in place there by a link, as FUSE cannot refuse to replace in a
    // rename.
    {"NtfsHive", "tcpip", WindowsFile(SpxHive), kUpdating, 0, false, "", KeptWhatWindowsPut,
     "SOFTWARE", "ntfs"},
    {"NtfsText", "tcpip", WindowsFile(Stored), kUpdating, 0, false, "", KeptWhatWindowsPut,
     "hklm.reg", "ntfs"},
    {"NtfsNewStore", "tcpip", Layout(""), kMadeTcpip, 0, false, "", Holds("new.reg", kStoredTcpip),
     "new.reg", "ntfs"},
    {"NtfsHiveWithPermissions", "tcpip", WindowsFile(SpxHive), kUpdating, 0, false, "",
     KeptWhatWindowsPut, "SOFTWARE", "ntfs -o permissions"},
    {"NtfsTextWithPermissions", "tcpip", WindowsFile(Stored), kUpdating, 0, false, "",
     KeptWhatWindowsPut, "hklm.reg", "ntfs -o permissions"},
    {"NtfsNewStoreWithPermissions", "tcpip", Layout(""), kMadeTcpip, 0, false, "",
     Holds("new.reg", kStoredTcpip), "new.reg", "ntfs -o permissions"},

    // Odd things where the store should be.
    {"Folder", "", Layout("hklm.reg/"), NoKey(5), 1, true, ": is a folder (rc 5)\n"},
    {"DanglingSymlink", "", Layout("hklm.reg->missing/x.reg"), NoKey(3), 1, true,
     ": No such file or directory (rc 3)\n"},
    {"LoopingSymlink", "", Layout("hklm.reg->#/hklm.reg"), NoKey(1921), 1, true,
     ": Too many levels of symbolic links (rc 1921)\n"},
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
     kShown, 0, true},
    {"MegabyteLine", "",
     Lay("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Other]\n\"Big\"=\"" + std::string(1 << 20, 'm') +
         "\"\n\n" + kSection + "\"Supported protocols\"=\"SPX\"\n"),
     kShown, 0, true},
    {"MegabyteSetting", "",
     Lay(SettingsText("\"Supported protocols\"=\"" + std::string(1 << 20, 'm') + "\"\n")),
     "Error: Unable to read Supported Protocols: rc 234.\n", 1, true},
    {"FiftyMegabytes", "", Lay([] { return BigText(50 << 20); }), kShown, 0, true},
    {"ChangeWouldPassOneGibibyte", "", NearlyOneGibibyte, NoKey(223), 1, true,
     ": the change would make it larger than 1 GiB, the most a store may be (rc 223)\n"},
    {"CommentBehindAHexValue", "tcpip",
     Lay(SettingsText("\"Supported protocols\"=hex(1):53,50,58 ; set by the imaging team\n")),
     kUpdating, 0, false, "",
     Holds("hklm.reg",
           SettingsText("\"Supported protocols\"=\"TCPIP\" ; set by the imaging team\n"))},
    {"UsersFileNamedLikeANewStore", "tcpip", Layout("hklm.reg= .hklm.reg.tmp-backup="), kUpdating,
     0, false, "", Holds(".hklm.reg.tmp-backup", kStored)},
    // A store named on a volume that is not mounted: nothing is made in
    // its mount point.
    {"FolderOfANamedStoreMissing", "", Layout(""), NoKey(3), 1, true,
     ": the folder #/mnt is not there (rc 3)\n", nullptr,
     "mnt/windows/Windows/System32/config/SOFTWARE"},
    {"FileWhereTheFolderOfANamedStoreShouldBe", "", Layout("file"), NoKey(3), 1, true,
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
     NotReplayed("no log beside it", true)},
    // Logs another program or user could have written are not replayed.
    {"DirtyHiveLogsOfOthers", "", HiveWithLogs(0, LogsOfOthers), kShown, 0, true,
     NotReplayed("hklm.reg.LOG1 belongs to another user; hklm.reg.LOG2 may be written by users "
                 "who cannot write the hive",
                 false)},
    {"DirtyHiveLogFailsItsHash", "tcpip", HiveWithLogs(0, LogFailsItsHash), NoUpdate(19), 1, true,
     NotReplayed("no log holds entry 7; entry 7 of hklm.reg.LOG1 fails its hash", true)},
    // The others replay, but what it held may be lost by a write.
    {"DirtyHiveBesideAnotherUsersLink", "spx", HiveWithLogs(0, AnotherUsersLinkBeside),
     "Current Supported Protocols : TCPIP\nUpdating Supported Protocols to : SPX\n"
     "Error: Unable to update Supported Protocols: rc 19.\n",
     1, true,
     ": the values shown may not be what Windows will see: not replayed: hklm.reg.LOG is a "
     "symlink of another user\nkovalset: @: not written: it holds changes that its logs cannot "
     "replay (hklm.reg.LOG is a symlink of another user) (rc 19)\n"},
    {"DirtyHiveLogWithALinkOrAnAccessList", "", HiveWithLogs(0, LogWithALinkOrAnAccessList), kShown,
     0, true,
     NotReplayed("hklm.reg.LOG1 has other names, hard links; hklm.reg.LOG2 has an access list "
                 "that the hive does not have",
                 false)},
    {"DirtyHiveGrows", "", HiveWithLogs(100000), "Current Supported Protocols : TCPIP\n", 0, true},
    // A key hivex cannot read is not a missing key: nothing is made.
    {"HiveWhoseKeysCannotBeRead", "",
     [](const Place& p) { Lay(SpxHive)(p), BreakRootKeyList(p.store); }, NoKey(1016), 1, true,
     ": hivex could not read it (rc 1016)\n"},
    // Key lists and value data that hivex reads, or writes, wrongly.
    {"KeySharesItsParentsKeyList", "", Damaged(SharedKeyList), NoKey(1016), 1, true,
     ": the hive hivex wrote does not read back (rc 1016)\n"},
    // What a change frees, listed by a key it does not read: found among
    // the cells, not on the way to the key changed.
    {"KeySharesTheValuesOfTheKeyBelow", "tcpip", Damaged(SharedValues), NoUpdate(1016), 1, true,
     ": the hive hivex wrote does not read back (rc 1016)\n"},
    {"KeyListCountsNoKeys", "", Damaged(NoKeysListed), NoKey(1016), 1, true,
     ": hivex could not read it (rc 1016)\n"},
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
    {"ZeroInAnotherValuesName", "tcpip", ZeroInAValueName("Other_value", 5), NoUpdate(50), 1, true,
     std::string(": the key ") + kPrimaryKeyPath +
         " holds a value whose name has a zero character in it, which hivex would cut short "
         "(rc 50)\n"},
    {"ZeroBehindASettingsName", "debugmsg", ZeroInAValueName("Debug messages_old", 14),
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

    // Rooms too small for a run: a full disk (filled up to what the store
    // and 48 KiB more take), a read-only file system, too little memory,
    // too few files, a file size limit (in 512-byte blocks: a new file of
    // more than 50 KiB is refused; a hive is shown as read in place, and
    // only the copy hivex writes from refused). Each ends in a status and a
    // reason, the store as it was.
    {"FullDisk", "tcpip", Lay([] { return BigText(80 << 10); }), NoUpdate(112), 1, true,
     ": cannot be written: the disk is full (rc 112)\n", nullptr, "hklm.reg", "size=128k"},
    {"ReadOnlyFileSystem", "tcpip", Lay(kStored), NoUpdate(19), 1, true,
     ": Read-only file system (rc 19)\n", nullptr, "hklm.reg", "ro"},
    {"TooLittleMemory", "tcpip", Lay([] { return Regedit5Utf16(BigText(16 << 20)); }), NoKey(14), 1,
     true, ": not enough memory to read it (rc 14)\n", nullptr, "hklm.reg", "-v 60000"},
    {"TooFewFiles", "tcpip", Lay(EmptyHive()), NoKey(4), 1, true,
     ": hivex cannot be loaded: libhivex.so.0: cannot open shared object file: Too many open "
     "files (rc 4)\n",
     nullptr, "hklm.reg", "-n 7"},
    {"TooFewFilesForHivex", "tcpip", Lay(EmptyHive()), NoKey(4), 1, true,
     ": hivex cannot open it: Too many open files (rc 4)\n", nullptr, "hklm.reg", "-n 8"},
    {"TooFewFilesToRead", "tcpip", Lay(EmptyHive()), NoKey(4), 1, true,
     ": Too many open files (rc 4)\n", nullptr, "hklm.reg", "-n 6"},
    {"FileSizeLimit", "tcpip", Lay([] { return BigText(80 << 10); }), NoUpdate(223), 1, true,
     ": cannot be written: larger than the file size limit allows (rc 223)\n", nullptr, "hklm.reg",
     "-f 100"},
    {"FileSizeLimitOnAHive", "tcpip", Lay(SpxHive), NoUpdate(223), 1, true,
     ": File too large (rc 223)\n", nullptr, "hklm.reg", "-f 4"},
};

// Mounts at `at` the small file system `how` asks for: an NTFS volume by
// ntfs-3g ("ntfs" and its options), else a 64 MiB tmpfs. Returns why not.
std::string MountSmall(const std::string& how, const std::string& at) {
  if (how.rfind("ntfs", 0) != 0) {
    return mount("tmpfs", at.c_str(), "tmpfs", 0, "size=64m") == 0 ? "" : "cannot mount a tmpfs";
  }
  std::string image = at + ".img";
  WriteFile(image, "");
  if (access("/dev/fuse", R_OK | W_OK) != 0 || truncate(image.c_str(), 16 << 20) != 0 ||
      RunProcess({"mkntfs", "-F", "-Q", image}, {}).status != 0) {
    return "needs FUSE and mkntfs (package ntfs-3g)";
  }
  ProcessResult mounted =
      RunProcess(Words("ntfs-3g " + how.substr(4) + " " + image + " " + at), {});
  return mounted.status == 0 ? "" : "ntfs-3g cannot mount here";
}

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
  std::string how = f.how ? f.how : "", as = how.rfind("--", 0) == 0 ? how : "";
  if (!as.empty() && !NobodysProgram::Possible()) GTEST_SKIP() << "needs root and setpriv";
#ifdef KOVALSET_SANITIZED
  if (how[0] == '-' && as.empty()) GTEST_SKIP() << "AddressSanitizer needs more room";
#endif
  TempDir temp;
  chmod(temp.path().c_str(), 0755);
  Place p{temp.path(), temp.File(f.at)};
  Mounted disk;
  if (f.how != nullptr && as.empty()) {
    MakeLayout(temp.path(), "small/:755");
    p = {temp.File("small"), temp.File("small/") + f.at};
    std::string why = MountSmall(how, p.dir);
    if (!why.empty()) GTEST_SKIP() << why;
    disk.at = p.dir;
  }
  f.arrange(p);
  if (IsSkipped()) return;
  if (!disk.at.empty() && how[0] != '-' && !how.empty() && how.rfind("ntfs", 0) != 0) {
    mount(nullptr, p.dir.c_str(), nullptr, MS_REMOUNT | (how == "ro" ? MS_RDONLY : 0),
          how == "ro" ? nullptr : how.c_str());
  }
  // The store's bytes; of one over 64 MiB, what stat says of it.
  auto bytes = [&] {
    struct stat st = {};
    if (stat(p.store.c_str(), &st) != 0 || st.st_size <= (64 << 20)) return ReadFile(p.store);
    return std::to_string(st.st_size) + " bytes, inode " + std::to_string(st.st_ino) +
           ", changed " + std::to_string(st.st_ctim.tv_sec) + "." +
           std::to_string(st.st_ctim.tv_nsec);
  };
  const std::string before = f.untouched ? bytes() : "";
  // The names in the folder, but for the store's where it may be written.
  auto names = [&] {
    std::vector<std::string> tree = ListTree(p.dir);
    if (!f.untouched) tree.erase(std::remove(tree.begin(), tree.end(), f.at), tree.end());
    return tree;
  };
  const std::vector<std::string> names_before = names();
  // A run is given 3 s, 30 for a store of more than 32 MiB on disk.
  struct stat st = {};
  bool big = stat(p.store.c_str(), &st) == 0 && st.st_blocks > (64 << 10);
  auto begin = std::chrono::steady_clock::now();
  ProcessResult run = RunAs(as, f.words, p.store, how[0] == '-' && as.empty() ? how : "");
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(big ? 30 : 3));

  std::string err = f.err[0] == ':' ? "kovalset: @" + f.err : f.err;
  for (size_t at; (at = err.find('@')) != std::string::npos;) err.replace(at, 1, p.store);
  for (size_t at; (at = err.find('#')) != std::string::npos;) err.replace(at, 1, p.dir);
  EXPECT_EQ(kBanner + f.output, run.out);
  EXPECT_EQ(err, run.err);
  EXPECT_EQ(f.status, run.status);
  EXPECT_TRUE(!f.untouched || before == bytes()) << "the store was rewritten";
  EXPECT_EQ(names_before, names()) << "files were made or removed";
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
    MakeLayout(dir.path(), "ww/:1777");
    std::string store = dir.File("ww/hklm");
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
  MakeLayout(dir.path(), "home/:755");
  std::string home = dir.File("home");
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

}  // namespace
