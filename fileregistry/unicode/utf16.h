// UTF-16LE and UTF-8: the encodings of Unicode registry files and hives, and
// of the program's code page.
#ifndef FILEREGISTRY_UNICODE_UTF16_H_
#define FILEREGISTRY_UNICODE_UTF16_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace fileregistry {

// UTF-16LE bytes as UTF-8; unpaired surrogates are kept, as three bytes each.
std::string Utf16ToUtf8(std::string_view utf16);
// The same, written to `out`, which has room for three bytes a unit; returns
// how many bytes it wrote.
size_t Utf16ToUtf8(std::string_view utf16, char* out);
// UTF-8 as UTF-16LE bytes, appended to `*utf16`. Returns false for bytes that
// are not UTF-8 (with `keep_surrogates`, what Utf16ToUtf8 makes of unpaired
// ones is taken back).
bool Utf8ToUtf16(std::string_view utf8, std::string* utf16, bool keep_surrogates = false);

}  // namespace fileregistry

#endif  // FILEREGISTRY_UNICODE_UTF16_H_
