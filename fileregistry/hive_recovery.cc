#include "fileregistry/hive_recovery.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "fileregistry/fd.h"
#include "fileregistry/hive_log.h"

namespace fileregistry {
namespace {

const off_t kLargestLog = off_t{1} << 30;  // as for any store

// Why the log `name` that `log` describes may not be trusted beside the
// hive that `hive` describes; empty when it may.
std::string Distrust(const std::string& name, const struct stat& log, const struct stat& hive) {
  if (!S_ISREG(log.st_mode)) return name + " is not a regular file";
  if (log.st_uid != hive.st_uid && log.st_uid != 0) return name + " belongs to another user";
  bool group_may =
      (hive.st_mode & S_IWOTH) || ((hive.st_mode & S_IWGRP) && log.st_gid == hive.st_gid);
  if (((log.st_mode & S_IWGRP) && !group_may) ||
      ((log.st_mode & S_IWOTH) && !(hive.st_mode & S_IWOTH))) {
    return name + " may be written by users who cannot write the hive";
  }
  if (log.st_size > kLargestLog) return name + " is larger than 1 GiB";
  return "";
}

// Opens the log `name` beside the hive at `at`: a symlink only as the
// hive's own path would follow it. Not valid when there is none, or with
// `*note` set when it may not be used.
Fd OpenLog(const StoreLocation& at, const std::string& name, std::string* note) {
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  Fd fd(openat(at.folder.get(), name.c_str(), flags));
  if (fd.valid() || errno == ENOENT) return fd;
  struct stat link;
  if (errno != ELOOP || fstatat(at.folder.get(), name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0) {
    *note = name + " cannot be opened: " + strerror(errno);
    return Fd();
  }
  if (link.st_uid != geteuid() && link.st_uid != 0) {
    *note = name + " is a symlink of another user";
    return Fd();
  }
  StoreLocation target;
  size_t slash = at.path.rfind('/');
  std::string folder = slash == std::string::npos ? "" : at.path.substr(0, slash + 1);
  if (WalkToStore(folder + name, false, &target) == 0 && target.folder.valid()) {
    fd = Fd(openat(target.folder.get(), target.name.c_str(), flags));
  }
  if (!fd.valid()) *note = name + " is a symlink that leads nowhere to read";
  return fd;
}

void AddNote(std::string* notes, const std::string& note) {
  if (!note.empty()) *notes += (notes->empty() ? "" : "; ") + note;
}

}  // namespace

bool ReadBytes(int fd, off_t size, std::string* bytes) {
  bytes->assign(static_cast<size_t>(size), '\0');
  size_t used = 0;
  while (used < bytes->size()) {
    ssize_t n = pread(fd, &(*bytes)[used], bytes->size() - used, static_cast<off_t>(used));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  bytes->resize(used);
  return true;
}

Recovery RecoverHive(const StoreLocation& at, const struct stat& st, std::string* hive) {
  Recovery recovery;
  std::vector<HiveLog> logs;
  for (const char* suffix : {".LOG1", ".LOG2", ".LOG"}) {
    std::string name = at.name + suffix, note;
    Fd fd = OpenLog(at, name, &note);
    if (!fd.valid() && note.empty()) {
      std::string lower = at.name + ".log" + (suffix + 4);
      fd = OpenLog(at, lower, &note);
      if (fd.valid() || !note.empty()) name = lower;
    }
    struct stat log;
    if (fd.valid() && fstat(fd.get(), &log) != 0)
      note = name + " cannot be read: " + strerror(errno);
    if (fd.valid() && note.empty()) note = Distrust(name, log, st);
    if (!note.empty()) {
      AddNote(&recovery.ignored, note);
      continue;
    }
    if (!fd.valid()) continue;
    HiveLog read{name, ""};
    if (!ReadBytes(fd.get(), log.st_size, &read.bytes)) {
      AddNote(&recovery.ignored, name + " cannot be read: " + strerror(errno));
      continue;
    }
    logs.push_back(std::move(read));
  }
  if (logs.empty()) {
    recovery.why = recovery.ignored.empty() ? "no log beside it" : recovery.ignored;
    return recovery;
  }
  recovery.replayed = ReplayHiveLogs(logs, hive, &recovery.why);
  if (!recovery.replayed) AddNote(&recovery.why, recovery.ignored);
  return recovery;
}

}  // namespace fileregistry
