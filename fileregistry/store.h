// What the Reg* functions need of a store, whatever file it is kept in: a
// registry export (.reg text) or a registry hive.
#ifndef FILEREGISTRY_STORE_H_
#define FILEREGISTRY_STORE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "fileregistry/win32_registry.h"

namespace fileregistry {

// The most a store's file may hold: far beyond any export of a whole
// registry. A larger file is refused unread, and no change may make one.
inline constexpr uint64_t kLargestStore = uint64_t{1} << 30;

struct RegValue {
  uint32_t type = 0;
  std::string data;

  bool operator==(const RegValue& other) const { return type == other.type && data == other.data; }
};

// Whether values of `type` are texts: REG_SZ (1), REG_EXPAND_SZ (2) or
// REG_MULTI_SZ (7).
inline bool IsTextType(uint32_t type) { return type == 1 || type == 2 || type == 7; }

// A new version of a store's file, ready to be written.
struct Replacement {
  // Writes the whole file to the new file open as `fd`. Empty: no change.
  std::function<LSTATUS(int fd)> write;
  // Whether the old file, open as `fd`, still holds the bytes `write` was
  // made from: 0; 1016 when another program changed them in place; or the
  // status of a failed read.
  std::function<LSTATUS(int fd)> made_from;
  // Whether `write` says on standard error why it failed.
  bool says_why = false;
  // Why the store refused to make the change, for the caller to say.
  std::string refused;
};

// Key paths are relative to HKEY_LOCAL_MACHINE, with single backslashes;
// the empty path is HKEY_LOCAL_MACHINE itself. Names match without regard to
// ASCII case. Values are as Windows' ...A calls see them: texts in the
// program's code page, UTF-8.
class Store {
 public:
  virtual ~Store() = default;

  // Lookups return 0 when found, 2 when missing, and 1016 when the store's
  // file turned out damaged, or changed under it, so that nothing read from
  // it may be trusted: never a missing key to create.
  //
  // Finds key `path`, and sets `*stored_path` to it in the case it was stored.
  virtual LSTATUS FindKey(std::string_view path, std::string* stored_path) const = 0;
  // Finds value `name` ("" for the default value) of key `path`.
  virtual LSTATUS FindValue(std::string_view path, std::string_view name,
                            RegValue* value) const = 0;
  // False once a lookup met damage.
  virtual bool Intact() const { return true; }
  // What the damage was.
  virtual const char* Damage() const { return "changed by another program while being read"; }

  // The file with key `path` added, with every missing key above it; `path`
  // must not exist yet. Returns 0 or a Windows error number (223 when the
  // file would be larger than kLargestStore, with `file->refused`).
  virtual LSTATUS AddKey(std::string_view path, Replacement* file) const = 0;
  // The file with value `name` of the existing key `path` set to `value`, as
  // RegSetValueExA was given it; `zero_behind` when the caller's byte behind
  // the data is a zero, which Windows keeps as the end of a text it was not
  // counted in. No `file->write` when nothing would change.
  virtual LSTATUS SetValue(std::string_view path, std::string_view name, const RegValue& value,
                           bool zero_behind, Replacement* file) const = 0;
};

}  // namespace fileregistry

#endif  // FILEREGISTRY_STORE_H_
