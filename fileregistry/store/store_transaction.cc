#include "fileregistry/store/store_transaction.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "fileregistry/file/keep_owner.h"
#include "fileregistry/file/temp_file.h"
#include "fileregistry/refusal.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {

LSTATUS StoreTransaction::Begin(bool make_folders) {
  again_ = false;
  if (LSTATUS status = run_.Locate(make_folders, &at_)) return status;
  struct stat st;
  if (at_.through_link && (!at_.folder.valid() ||
                           fstatat(at_.folder.get(), at_.name.c_str(), &st, AT_SYMLINK_NOFOLLOW))) {
    return RefuseErrno(run_.path(), ENOENT);  // no write through a dangling link
  }
  if (!at_.folder.valid()) {
    return Refuse(
        at_.path,
        "the folder " + at_.missing + (at_.missing_is_file ? " is a file" : " is not there"),
        ERROR_PATH_NOT_FOUND);
  }
  file_ = Fd();
  version_ = FileIdentity();
  if (LSTATUS status = run_.ReadLocked(at_, &store_, &file_, &version_)) return status;
  RemoveStaleTempFiles(at_);
  return ERROR_SUCCESS;
}

LSTATUS StoreTransaction::Commit(LSTATUS edited, const Replacement& file) {
  if (!store_->Intact()) return run_.Damaged(*store_);
  if (edited != ERROR_SUCCESS || !file.write) return EditRefused(edited, file);
  if (LSTATUS status = MayReplace(at_, file_)) return status;
  TempFile temp(at_);
  if (LSTATUS status = temp.Create()) return status;
  if (LSTATUS status = temp.Write(file.write, file.says_why)) return status;
  if (LSTATUS status = KeepOwner(at_.path, file_, temp.fd())) return status;
  // Flushed first: the check after it is the last step before the rename.
  if (LSTATUS status = temp.Flush()) return status;
  if (LSTATUS status = StillAsRead(at_.path, file_, version_, file.made_from)) return status;
  LSTATUS placed = temp.Publish(file_.valid());
  if (placed == ERROR_ALREADY_EXISTS) return MadeMeanwhile();
  if (placed != ERROR_SUCCESS) return placed;
  run_.Forget();  // the next call maps the new file
  return ERROR_SUCCESS;
}

// What an edit that left nothing to write ends with: `edited`, said where
// the store gave a reason.
LSTATUS StoreTransaction::EditRefused(LSTATUS edited, const Replacement& file) const {
  if (edited == ERROR_NO_UNICODE_TRANSLATION) {
    return Refuse(at_.path, "a Unicode store cannot hold text that is not UTF-8", edited);
  }
  if (edited != ERROR_SUCCESS && !file.refused.empty())
    return Refuse(at_.path, file.refused, edited);
  return edited;
}

// Another writer made the store meanwhile: the change is begun again.
LSTATUS StoreTransaction::MadeMeanwhile() {
  // Over and over, only another program that removes it each time could
  // do that.
  if (++rounds_ < 100) {
    again_ = true;
    return ERROR_ALREADY_EXISTS;
  }
  return Refuse(at_.path, "changed by another program while being written",
                ERROR_REGISTRY_IO_FAILED);
}

}  // namespace fileregistry
