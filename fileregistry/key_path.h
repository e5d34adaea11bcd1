// Registry key paths: relative to HKEY_LOCAL_MACHINE, parts split by single
// backslashes, names matched without regard to ASCII case.
#ifndef FILEREGISTRY_KEY_PATH_H_
#define FILEREGISTRY_KEY_PATH_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fileregistry {

inline char FoldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// True when `a` and `b` are equal but for ASCII case.
inline bool EqualFoldingCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

// Whether key path `path` is `key` or lies below it, regardless of case.
// The cheap tests first: lookups run this over every key of a store.
inline bool IsAtOrBelow(std::string_view path, std::string_view key) {
  if (key.empty()) return true;
  return path.size() >= key.size() && (path.size() == key.size() || path[key.size()] == '\\') &&
         EqualFoldingCase(path.substr(0, key.size()), key);
}

// Whether text[begin, end) is a key path: parts split by single backslashes,
// none empty, no control bytes, no DEL. Sets bit i of `*first_slashes`, when
// given, for each backslash among its first 32 bytes. Sixteen bytes at a
// time where the processor allows, reading on to the text's end.
bool IsKeyPath(std::string_view text, size_t begin, size_t end, uint32_t* first_slashes = nullptr);
// Whether a key path can be stored: IsKeyPath of all of it.
bool IsWritableKeyPath(std::string_view path);
// Whether a value name can be stored: no control bytes but line ends, no DEL.
bool IsWritableName(std::string_view name);

// Windows' 32-bit view: in a 64-bit machine's registry, which holds
// Software\Wow6432Node, an open or create of Software\X with
// KEY_WOW64_32KEY works on Software\Wow6432Node\X. A 32-bit machine's
// registry has one view.
inline constexpr char kWow64Key[] = "Software\\Wow6432Node";
// Whether a call with `access` on `path` goes to the 32-bit view, where
// there is one.
bool GoesTo32BitView(std::string_view path, unsigned long access);
// `path`, below Software, in the 32-bit view.
std::string In32BitView(std::string_view path);

}  // namespace fileregistry

#endif  // FILEREGISTRY_KEY_PATH_H_
