// Key and value names as the registry matches them: UTF-16 code units
// compared upper-cased, for ASCII, Latin-1, Greek and Cyrillic letters; any
// other unit as it is. Names stored compressed (one byte a character) are
// Latin-1.
#ifndef FILEREGISTRY_HIVE_HIVE_NAMES_H_
#define FILEREGISTRY_HIVE_HIVE_NAMES_H_

#include <string>
#include <string_view>

namespace fileregistry {

// A stored name as UTF-16LE: compressed names are Latin-1, widened.
std::string Utf16Name(const std::string& stored, bool compressed);

// Whether the UTF-16LE names `a` and `b` match as the registry matches them.
bool SameName(std::string_view a, std::string_view b);

// `name` (UTF-8) as UTF-16LE; a name that is no UTF-8 matches none stored.
std::string Wanted(std::string_view name);

// Whether `name`, in UTF-16LE, has a zero character in it. Windows allows
// one; hivex cuts such a name short when it rewrites the key's values.
bool HasZero(std::string_view name);

}  // namespace fileregistry

#endif  // FILEREGISTRY_HIVE_HIVE_NAMES_H_
