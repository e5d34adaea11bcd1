// The line grammar of registry export files, as regedit and reg.exe write
// them and Windows' importer takes them, and the formatting of values.
#ifndef FILEREGISTRY_TEXT_REG_SYNTAX_H_
#define FILEREGISTRY_TEXT_REG_SYNTAX_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "fileregistry/store.h"

namespace fileregistry {

// The value types the text writes in forms of their own.
inline constexpr uint32_t kTypeText = 1, kTypeBinary = 3, kTypeDword = 4;

inline constexpr char kHeader[] = "REGEDIT4";
inline constexpr char kUnicodeHeader[] = "Windows Registry Editor Version 5.00";
inline constexpr char kUtf8Bom[] = "\xef\xbb\xbf";
inline constexpr char kUtf16Bom[] = "\xff\xfe";
inline constexpr char kRoot[] = "HKEY_LOCAL_MACHINE";
inline constexpr char kRemoval[] = "removal lines belong in import files";

// One line of text: [begin, end) without its line end; `next` is where the
// following line starts.
struct Line {
  size_t begin, end, next;
};
// Where the first "\n" at or behind `pos` is, or the text's size. Sixteen
// bytes at a time where the processor allows: lines are short, and a call
// of memchr for each costs more than the search.
inline size_t FindNewline(std::string_view text, size_t pos) {
#ifdef __SSE2__
  const __m128i newline = _mm_set1_epi8('\n');
  for (; pos + 16 <= text.size(); pos += 16) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + pos));
    if (int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newline))) {
      return pos + static_cast<size_t>(__builtin_ctz(mask));
    }
  }
#endif
  const void* newline_at = memchr(text.data() + pos, '\n', text.size() - pos);
  return newline_at ? static_cast<const char*>(newline_at) - text.data() : text.size();
}
inline Line LineAt(std::string_view text, size_t pos) {
  size_t end = FindNewline(text, pos);
  size_t next = end < text.size() ? end + 1 : end;
  if (end > pos && text[end - 1] == '\r') --end;
  return Line{pos, end, next};
}
inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }
inline size_t SkipBlanks(std::string_view text, size_t pos, size_t end) {
  while (pos < end && IsBlank(text[pos])) ++pos;
  return pos;
}
inline size_t TrimBlanks(std::string_view text, size_t begin, size_t end) {
  while (end > begin && IsBlank(text[end - 1])) --end;
  return end;
}
inline bool StartsWith(std::string_view text, size_t pos, std::string_view prefix) {
  return text.substr(pos, prefix.size()) == prefix;
}

// Parses the value entry that starts on `first` (at `pos`). Fills `name` and
// `value` when given; sets `*next` to where the line behind the entry starts.
// Blanks may stand around "=", and a "; comment" behind the value, which
// `comment` gets when given, blanks before it included. Returns null, or why
// the entry is not one.
const char* ParseEntry(std::string_view text, const Line& first, size_t pos, std::string* name,
                       RegValue* value, size_t* next, bool* quoted = nullptr,
                       std::string_view* comment = nullptr);

// Checks the inside of a section line, text[begin, end), and finds the key
// path in it. Sets `*local_machine` to whether it is a key of
// HKEY_LOCAL_MACHINE, and bit i of `*slashes` for each backslash among the
// path's first 32 bytes. Returns null, or why it is not a key.
const char* ParseSectionPath(std::string_view text, size_t begin, size_t end, bool regedit4,
                             size_t* path_begin, bool* local_machine, uint32_t* slashes);

// Whether the first bytes of a file, `head`, can begin a store: a header of
// either dialect, in an encoding it may have. Says nothing of the rest.
bool MayBeginStore(std::string_view head);

// The value's line(s) as written to a store, line ends included; `unicode`
// for a version 5 store, whose texts in hex form are UTF-16LE.
std::string FormatValue(std::string_view name, const RegValue& value, const std::string& eol,
                        bool unicode = false);

// A text as the ...A calls see it, from its UTF-16LE bytes in a version 5
// store: written with a terminating zero, read without it.
std::string AnsiFromUnicode(const std::string& utf16);

}  // namespace fileregistry

#endif  // FILEREGISTRY_TEXT_REG_SYNTAX_H_
