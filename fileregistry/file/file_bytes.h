// A file's bytes, written whole or compared with what they should be.
#ifndef FILEREGISTRY_FILE_FILE_BYTES_H_
#define FILEREGISTRY_FILE_FILE_BYTES_H_

#include <initializer_list>
#include <string_view>

#include "fileregistry/win32_registry.h"

namespace fileregistry {

// Whether the file open as `fd` holds exactly `bytes`: 0, 1016 when it does
// not, or the status of a failed read (30 where it would be 1016).
LSTATUS SameBytes(int fd, std::string_view bytes);

// Writes `pieces`, one after the other, as the whole of the file open as
// `fd`, its blocks allocated first. Returns 0 or a Windows error number.
LSTATUS WritePieces(int fd, std::initializer_list<std::string_view> pieces);

}  // namespace fileregistry

#endif  // FILEREGISTRY_FILE_FILE_BYTES_H_
