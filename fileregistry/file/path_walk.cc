#include "fileregistry/file/path_walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>

#include "fileregistry/refusal.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

const int kMostLinks = 40;  // as the kernel's own walk

void PushFront(const std::string& path, std::deque<std::string>* parts) {
  std::deque<std::string> front;
  for (size_t at = 0; at <= path.size();) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    if (slash > at) front.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  parts->insert(parts->begin(), front.begin(), front.end());
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

Fd OpenStart(const std::string& path, std::string* where) {
  bool absolute = !path.empty() && path[0] == '/';
  *where = absolute ? "/" : ".";
  return Fd(open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// Only the caller's own symlinks and root's are followed: another user's
// link, in whatever folder, could send the caller's writes to a file that
// user may not write.
bool MayFollow(const struct stat& link) { return link.st_uid == geteuid() || link.st_uid == 0; }

// The folder the rest of the walk would make, for messages.
std::string FolderToMake(std::string where, const std::deque<std::string>& rest) {
  for (size_t i = 0; i + 1 < rest.size(); ++i) where = Join(where, rest[i]);
  return where;
}

// A walk under way: the folder reached, its path for messages, and the
// components still to walk.
struct Walk {
  Fd folder;
  std::string where;
  std::deque<std::string> rest;
  int links = 0;
  bool through_link = false;  // the store's own name was a link

  // Starts at the root or the working folder, with the components of `path`.
  LSTATUS Start(const std::string& path) {
    folder = OpenStart(path, &where);
    if (!folder.valid()) return RefuseErrno(where, errno);
    PushFront(path, &rest);
    return ERROR_SUCCESS;
  }

  // Follows the link `name`, open as `link`, that `st` describes: its
  // target's components take its place. Returns 0 or a refusal.
  LSTATUS Follow(const std::string& name, int link, const struct stat& st, bool last) {
    std::string at = Join(where, name);
    if (++links > kMostLinks) return RefuseErrno(at, ELOOP);
    if (!MayFollow(st)) return Refuse(at, "a symlink of another user", ERROR_ACCESS_DENIED);
    char target[PATH_MAX];
    ssize_t size = readlinkat(link, "", target, sizeof(target));
    if (size < 0) return RefuseErrno(at, errno);
    if (size == 0 || size == static_cast<ssize_t>(sizeof(target))) {
      return RefuseErrno(at, size == 0 ? ENOENT : ENAMETOOLONG);
    }
    through_link = through_link || last;
    std::string followed(target, static_cast<size_t>(size));
    PushFront(followed, &rest);
    if (followed[0] != '/') return ERROR_SUCCESS;
    folder = OpenStart(followed, &where);
    return folder.valid() ? ERROR_SUCCESS : RefuseErrno(where, errno);
  }

  // Makes the missing folder `name` on the way, and flushes its parent so
  // that a power cut cannot take it, and the store in it, away. Returns 0
  // or a refusal.
  LSTATUS MakeFolder(const std::string& name, bool missing) {
    if (missing && mkdirat(folder.get(), name.c_str(), 0777) == 0) {
      // A parent the user may write but not read cannot be opened to be
      // flushed, as for the store's own folder.
      Fd parent(openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (parent.valid() && fsync(parent.get()) != 0) return RefuseErrno(where, errno);
      return ERROR_SUCCESS;
    }
    if (missing && errno == EEXIST) return ERROR_SUCCESS;
    return Refuse(FolderToMake(where, rest),
                  std::string("cannot make the folder: ") + strerror(missing ? errno : ENOTDIR),
                  ERROR_PATH_NOT_FOUND);
  }
};

// Refuses a store's own name that is there but no file to keep a store in.
LSTATUS CheckStoreName(const std::string& at, const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return Refuse(at, "is a folder", ERROR_ACCESS_DENIED);
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    return Refuse(at, "not a regular file", ERROR_BADDB);
  }
  return ERROR_SUCCESS;
}

}  // namespace

LSTATUS WalkToStore(const std::string& path, bool make_folders, StoreLocation* location) {
  if (path.empty()) return RefuseErrno(path, ENOENT);
  if (path.back() == '/') return Refuse(path, "names a folder", ERROR_ACCESS_DENIED);
  Walk walk;
  if (LSTATUS status = walk.Start(path)) return status;
  while (!walk.rest.empty()) {
    std::string name = walk.rest.front();
    bool last = walk.rest.size() == 1;
    if (last && (name == "." || name == "..")) {
      return Refuse(Join(walk.where, name), "is a folder", ERROR_ACCESS_DENIED);
    }
    if (name == ".") {
      walk.rest.pop_front();
      continue;
    }
    // A folder on the way is opened as one, unstated; anything else is
    // opened as itself and looked at.
    const int flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
    struct stat st = {};
    Fd next;
    if (!last) next = Fd(openat(walk.folder.get(), name.c_str(), flags | O_DIRECTORY));
    bool folder = next.valid();
    if (folder) {
      st.st_mode = S_IFDIR;
    } else {
      next = Fd(openat(walk.folder.get(), name.c_str(), flags));
    }
    bool missing = !next.valid() && (errno == ENOENT || errno == ENOTDIR);
    if (!missing && (!next.valid() || (!folder && fstat(next.get(), &st) != 0))) {
      return RefuseErrno(Join(walk.where, name), errno);
    }
    if (last && !missing) {
      if (LSTATUS status = CheckStoreName(Join(walk.where, name), st)) return status;
    }
    if (last && (missing || !S_ISLNK(st.st_mode))) break;
    if (missing || !(S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode))) {
      // A folder on the way that is not there: the store is missing too.
      if (!make_folders || walk.through_link) {
        location->missing = Join(walk.where, name);
        location->missing_is_file = !missing;
        walk.folder = Fd();
        break;
      }
      if (LSTATUS status = walk.MakeFolder(name, missing)) return status;
      continue;  // open what was made, as any other folder
    }
    walk.rest.pop_front();
    if (S_ISLNK(st.st_mode)) {
      if (LSTATUS status = walk.Follow(name, next.get(), st, last)) return status;
      continue;
    }
    walk.folder = std::move(next);
    walk.where = Join(walk.where, name);
  }
  if (walk.rest.empty()) return Refuse(walk.where, "is a folder", ERROR_ACCESS_DENIED);
  location->name = walk.rest.back();
  location->path = Join(FolderToMake(walk.where, walk.rest), location->name);
  location->folder = std::move(walk.folder);
  location->through_link = walk.through_link;
  return ERROR_SUCCESS;
}

}  // namespace fileregistry
