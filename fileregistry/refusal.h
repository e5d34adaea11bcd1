// Saying why a store cannot be used: one line on standard error, and the
// Windows status that goes with it.
#ifndef FILEREGISTRY_REFUSAL_H_
#define FILEREGISTRY_REFUSAL_H_

#include <string>

namespace fileregistry {

// Says on standard error why a store cannot be used, "PROGRAM: WHERE:
// REASON", once for each different line. Returns `status`.
long Refuse(const std::string& where, const std::string& reason, long status);

// The Windows error number for `error`, an errno value.
long StatusFromErrno(int error);

// Refuse with the system's words for `error` and their status.
long RefuseErrno(const std::string& where, int error);

}  // namespace fileregistry

#endif  // FILEREGISTRY_REFUSAL_H_
