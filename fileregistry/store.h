// What the Reg* functions need of a store, whatever file it is kept in: a
// registry export (.reg text) or a registry hive.
#ifndef FILEREGISTRY_STORE_H_
#define FILEREGISTRY_STORE_H_

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

namespace fileregistry {

struct RegValue {
  uint32_t type = 0;
  std::string data;

  bool operator==(const RegValue& other) const { return type == other.type && data == other.data; }
};

// A new version of a store's file, ready to be written.
struct Replacement {
  // Writes the whole file to the new file open as `fd`. Empty: no change.
  std::function<long(int fd)> write;
  // Whether `write` says on standard error why it failed.
  bool says_why = false;
};

// Writes `pieces`, one after the other, as the whole of the file open as
// `fd`, its blocks allocated first. Returns 0 or a Windows error number.
long WriteFile(int fd, std::initializer_list<std::string_view> pieces);

// Says on standard error why a store cannot be used, "PROGRAM: WHERE:
// REASON", once for each different line. Returns `status`.
long Refuse(const std::string& where, const std::string& reason, long status);
// The Windows error number for `error`, an errno value.
long StatusFromErrno(int error);
// Refuse with the system's words for `error` and their status.
long RefuseErrno(const std::string& where, int error);

// Key paths are relative to HKEY_LOCAL_MACHINE, with single backslashes;
// the empty path is HKEY_LOCAL_MACHINE itself. Names match without regard to
// ASCII case. Values are as Windows' ...A calls see them: texts in the
// program's code page, UTF-8.
class Store {
 public:
  virtual ~Store() = default;

  // Whether the key exists. When it does, sets `*stored_path` to the path in
  // the case it was stored.
  virtual bool FindKey(std::string_view path, std::string* stored_path) const = 0;
  // Finds value `name` ("" for the default value) of key `path`.
  virtual bool FindValue(std::string_view path, std::string_view name, RegValue* value) const = 0;
  // False when the file changed under the store while it was read, or could
  // not be read, so that nothing read from it since may be trusted.
  virtual bool Intact() const { return true; }
  // Why it is not Intact.
  virtual const char* Damage() const { return "changed by another program while being read"; }

  // The file with key `path` added, with every missing key above it; `path`
  // must not exist yet. Returns 0 or a Windows error number.
  virtual long AddKey(std::string_view path, Replacement* file) const = 0;
  // The file with value `name` of the existing key `path` set to `value`, as
  // RegSetValueExA was given it; `zero_behind` when the caller's byte behind
  // the data is a zero, which Windows keeps as the end of a text it was not
  // counted in. No `file->write` when nothing would change.
  virtual long SetValue(std::string_view path, std::string_view name, const RegValue& value,
                        bool zero_behind, Replacement* file) const = 0;
};

}  // namespace fileregistry

#endif  // FILEREGISTRY_STORE_H_
