// Saying why a store cannot be used: one line on standard error, and the
// Windows status that goes with it.
#ifndef FILEREGISTRY_REFUSAL_H_
#define FILEREGISTRY_REFUSAL_H_

#include <cstddef>
#include <string>

#include "fileregistry/win32_registry.h"

namespace fileregistry {

// Says on standard error why a store cannot be used, "PROGRAM: WHERE:
// REASON (rc STATUS)", once for each different line; with status 0, a
// warning, no "(rc". Returns `status`.
LSTATUS Refuse(const std::string& where, const std::string& reason, LSTATUS status);

// Says "PROGRAM: WHERE: TEXT" as Refuse does, with no status behind it: for a
// text's parse error, whose WHERE names its line, and for reasons that give
// their numbers themselves. Returns `status`.
LSTATUS Say(const std::string& where, const std::string& text, LSTATUS status);

// The Windows error number for `error`, an errno value.
LSTATUS StatusFromErrno(int error);

// Refuse with the system's words for `error` and their status.
LSTATUS RefuseErrno(const std::string& where, int error);

}  // namespace fileregistry

#endif  // FILEREGISTRY_REFUSAL_H_
