// Which of Windows' hives a file is. SYSTEM, SAM, SECURITY, DEFAULT, a
// user's NTUSER.DAT and UsrClass.dat and BCD are kept in the same format as
// SOFTWARE, and a key made at the top of one of them is no setting at all.
#ifndef FILEREGISTRY_HIVE_HIVE_KIND_H_
#define FILEREGISTRY_HIVE_HIVE_KIND_H_

#include <functional>
#include <string>
#include <string_view>

namespace fileregistry {

// What the hive whose base block is `head`, and whose root has a key of a
// name when `has_top_key` says so, is when it is another hive than SOFTWARE,
// with why: "a SYSTEM hive (its base block names it SYSTEM)". Empty for a
// SOFTWARE hive, and for one that says nothing either way (hivex's own).
std::string OtherHiveKind(std::string_view head,
                          const std::function<bool(const char* name)>& has_top_key);

}  // namespace fileregistry

#endif  // FILEREGISTRY_HIVE_HIVE_KIND_H_
