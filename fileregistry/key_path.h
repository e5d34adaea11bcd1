// Registry key paths: relative to HKEY_LOCAL_MACHINE, parts split by single
// backslashes, names matched without regard to ASCII case.
#ifndef FILEREGISTRY_KEY_PATH_H_
#define FILEREGISTRY_KEY_PATH_H_

#include <string>
#include <string_view>

namespace fileregistry {

inline char FoldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// True when `a` and `b` are equal but for ASCII case.
bool EqualFoldingCase(std::string_view a, std::string_view b);

// Whether key path `path` is `key` or lies below it, regardless of case.
bool IsAtOrBelow(std::string_view path, std::string_view key);

}  // namespace fileregistry

#endif  // FILEREGISTRY_KEY_PATH_H_
