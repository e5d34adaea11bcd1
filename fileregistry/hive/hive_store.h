// Registry hives as stores, through hivex: the SOFTWARE hive of an offline
// Windows installation (Windows/System32/config/SOFTWARE), mounted at
// HKEY_LOCAL_MACHINE\Software as Windows mounts it.
#ifndef FILEREGISTRY_HIVE_HIVE_STORE_H_
#define FILEREGISTRY_HIVE_HIVE_STORE_H_

#include <sys/stat.h>

#include <memory>
#include <string>
#include <string_view>

#include "fileregistry/file/path_walk.h"
#include "fileregistry/store.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {

// Whether a file's first bytes, `head`, are a hive's ("regf").
bool IsHive(std::string_view head);

// Opens the hive at `at`, open as `fd`, whose first bytes are `head` and
// which `st` describes. Views read it where it is, cell by cell, through a
// descriptor of its own (HiveReader): damage found there, or a file cut
// short meanwhile, fails the lookup with 1016. Returns 0; 1009 with `*why`
// set when it is no hive (one the reader refuses is one hivex is asked
// about, and hivex's refusal is said); or another status, said.
//
// A dirty hive (sequence numbers that differ, or a torn base block) is read
// with the transaction logs beside it replayed, as Windows will read it:
// the bytes they make, read in memory. Where they cannot be, as the file
// holds it, with a line on standard error saying so and why, and then it is
// never written (19, ERROR_WRITE_PROTECT).
// The logs themselves are never changed.
//
// A write makes its change from the file itself, under a read lease, or
// where no lease can be had, from a copy that no other program can change
// (1016 when the file changed while it was copied): hive_source.h. The
// checks before the write read what hivex will change. Every change is made
// by hivex in a child process, which must open the hive (1009 otherwise),
// writes the new file and reads it back (hive_edit.h, hive_changes.h): a
// crash there fails the write with 1009.
//
// As Windows has it: keys other than Software and below give 2 when opened
// and 5 when created; texts are UTF-16LE, written with their terminating
// zero, and read as Windows' ...A calls read them.
LSTATUS OpenHive(const StoreLocation& at, int fd, std::string_view head, const struct stat& st,
                 std::shared_ptr<const Store>* store, std::string* why);

}  // namespace fileregistry

#endif  // FILEREGISTRY_HIVE_HIVE_STORE_H_
