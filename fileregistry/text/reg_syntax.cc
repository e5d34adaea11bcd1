#include "fileregistry/text/reg_syntax.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "fileregistry/key_path.h"
#include "fileregistry/unicode/utf16.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace fileregistry {
namespace {

// The other hives an export may hold; the last only in REGEDIT4.
const char* const kOtherRoots[] = {"HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT", "HKEY_USERS",
                                   "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = FoldCase(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The length of the run at `p` of bytes that are neither control bytes (below
// 0x20) nor `a` nor `b`: sixteen at a time where the processor allows.
size_t PlainRun(const char* p, size_t n, char a, char b) {
  size_t i = 0;
#ifdef __SSE2__
  const __m128i want_a = _mm_set1_epi8(a), want_b = _mm_set1_epi8(b);
  const __m128i highest_control = _mm_set1_epi8(0x1f);
  for (; i + 16 <= n; i += 16) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(bytes, highest_control), highest_control);
    __m128i stop = _mm_or_si128(
        control, _mm_or_si128(_mm_cmpeq_epi8(bytes, want_a), _mm_cmpeq_epi8(bytes, want_b)));
    if (int mask = _mm_movemask_epi8(stop)) return i + static_cast<size_t>(__builtin_ctz(mask));
  }
#endif
  for (; i < n; ++i) {
    if (static_cast<unsigned char>(p[i]) < 0x20 || p[i] == a || p[i] == b) break;
  }
  return i;
}

// Parses a quoted text at `*pos` (on the opening quote) into `out`, when
// given. Leaves `*pos` behind the closing quote. Returns null, or why not.
const char* ParseQuoted(std::string_view text, size_t* pos, size_t end, std::string* out) {
  size_t p = *pos + 1;
  for (; p < end; ++p) {
    // The run stops at the line's end at the latest: line ends are control
    // bytes. Scanning on to the text's end spares the slow tail.
    size_t run = std::min(end, p + PlainRun(text.data() + p, text.size() - p, '"', '\\'));
    if (out != nullptr) out->append(text, p, run - p);
    if ((p = run) == end) break;
    char c = text[p];
    if (c == '"') {
      *pos = p + 1;
      return nullptr;
    }
    if (c == '\\') {
      if (++p == end) return "unterminated string";
      switch (text[p]) {
        case '\\': c = '\\'; break;
        case '"': c = '"'; break;
        case 'n': c = '\n'; break;
        case 'r': c = '\r'; break;
        default: return "unknown escape in a string";
      }
    } else if (IsControl(c) && c != '\t' && c != 0x7f) {
      return c == '\0' ? "zero byte" : "control character in a string";
    }
    if (out != nullptr) out->push_back(c);
  }
  return "unterminated string";
}

// Parses a comma-separated list of hex bytes starting at `pos` on `*line`,
// following lines that end in a backslash. Leaves `*line` on the last line
// and `*behind` where the list ends on it, before any blanks and comment.
bool ParseHexList(std::string_view text, Line* line, size_t pos, std::string* out, size_t* behind) {
  for (;;) {
    *behind = pos;
    pos = SkipBlanks(text, pos, line->end);
    if (pos == line->end || text[pos] == ';') return true;
    if (text[pos] == '\\') {
      if (SkipBlanks(text, pos + 1, line->end) != line->end || line->next == text.size() ||
          line->next == line->end) {
        return false;
      }
      *line = LineAt(text, line->next);
      pos = line->begin;
      continue;
    }
    int high = HexDigit(text[pos]);
    if (high < 0) return false;
    int low = pos + 1 < line->end ? HexDigit(text[pos + 1]) : -1;
    int byte = low < 0 ? high : high * 16 + low;
    pos += low < 0 ? 1 : 2;
    if (out != nullptr) out->push_back(static_cast<char>(byte));
    *behind = pos;
    pos = SkipBlanks(text, pos, line->end);
    if (pos == line->end || text[pos] == ';') return true;
    if (text[pos] == ',') {
      ++pos;
    } else if (text[pos] != '\\') {
      return false;
    }
  }
}

// Parses a number of one to eight hex digits at `*pos`.
bool ParseHexNumber(std::string_view text, size_t* pos, size_t end, uint32_t* number) {
  size_t p = *pos;
  uint32_t n = 0;
  while (p < end && p - *pos < 8 && HexDigit(text[p]) >= 0) n = n * 16 + HexDigit(text[p++]);
  if (p == *pos || (p < end && HexDigit(text[p]) >= 0)) return false;
  *pos = p;
  *number = n;
  return true;
}

}  // namespace

// Parses the value entry that starts on `first` (at `pos`). Fills `name` and
// `value` when given; sets `*next` to where the line behind the entry starts.
// Blanks may stand around "=", and a "; comment" behind the value, which
// `comment` gets when given, blanks before it included. Returns null, or why
// the entry is not one.
const char* ParseEntry(std::string_view text, const Line& first, size_t pos, std::string* name,
                       RegValue* value, size_t* next, bool* quoted, std::string_view* comment) {
  Line line = first;
  if (text[pos] == '@') {
    ++pos;
  } else if (const char* why = ParseQuoted(text, &pos, line.end, name)) {
    return why;
  }
  if (pos < line.end && text[pos] == '=') {
    ++pos;  // as regedit writes it: no blanks
  } else {
    pos = SkipBlanks(text, pos, line.end);
    if (pos == line.end || text[pos++] != '=') return "no \"=\" behind the value name";
  }
  if (pos < line.end && IsBlank(text[pos])) pos = SkipBlanks(text, pos, line.end);

  std::string* data = value != nullptr ? &value->data : nullptr;
  uint32_t type = kTypeText;
  bool is_quoted = pos < line.end && text[pos] == '"';
  if (quoted != nullptr) *quoted = is_quoted;
  if (is_quoted) {
    if (const char* why = ParseQuoted(text, &pos, line.end, data)) return why;
    if (pos == line.end) {
      if (value != nullptr) value->type = type;
      *next = line.next;
      return nullptr;
    }
  } else if (pos < line.end && text[pos] == '-') {
    return kRemoval;
  } else if (StartsWith(text, pos, "dword:")) {
    pos += 6;
    uint32_t number;
    if (!ParseHexNumber(text, &pos, line.end, &number)) return "bad dword";
    type = kTypeDword;
    if (data != nullptr) {
      for (int i = 0; i < 4; ++i) data->push_back(static_cast<char>(number >> (8 * i)));
    }
  } else if (StartsWith(text, pos, "hex")) {
    pos += 3;
    type = kTypeBinary;
    if (pos < line.end && text[pos] == '(') {
      ++pos;
      if (!ParseHexNumber(text, &pos, line.end, &type) || pos == line.end || text[pos] != ')') {
        return "bad hex type";
      }
      ++pos;
    }
    if (pos == line.end || text[pos++] != ':') return "bad hex data";
    if (!ParseHexList(text, &line, pos, data, &pos)) return "bad hex data";
  } else {
    return "unknown kind of value";
  }
  size_t behind = pos;
  pos = SkipBlanks(text, pos, line.end);
  if (pos != line.end && text[pos] != ';') return "text behind the value";
  if (comment != nullptr && pos != line.end) *comment = text.substr(behind, line.end - behind);
  if (value != nullptr) value->type = type;
  *next = line.next;
  return nullptr;
}

const char* ParseSectionPath(std::string_view text, size_t begin, size_t end, bool regedit4,
                             size_t* path_begin, bool* local_machine, uint32_t* slashes) {
  const size_t kRootSize = sizeof(kRoot) - 1;
  size_t root_end;
  if (end - begin >= kRootSize && memcmp(text.data() + begin, kRoot, kRootSize) == 0 &&
      (end - begin == kRootSize || text[begin + kRootSize] == '\\')) {
    root_end = begin + kRootSize;  // the common case, spelt as regedit spells it
    *local_machine = true;
  } else {
    const void* slash = memchr(text.data() + begin, '\\', end - begin);
    root_end = slash ? static_cast<const char*>(slash) - text.data() : end;
    *local_machine = EqualFoldingCase(text.substr(begin, root_end - begin), kRoot);
  }
  std::string_view root = text.substr(begin, root_end - begin);
  if (!*local_machine) {
    bool known = false;
    for (const char* other : kOtherRoots) {
      if (EqualFoldingCase(root, other))
        known = regedit4 || std::string_view(other) != "HKEY_DYN_DATA";
    }
    if (!known) return "unknown root key";
  }
  *path_begin = root_end == end ? end : root_end + 1;
  *slashes = 0;
  if (root_end == end) return nullptr;
  return IsKeyPath(text, root_end + 1, end, slashes) ? nullptr : "bad key name";
}

bool MayBeginStore(std::string_view head) {
  auto begins = [](std::string_view text, std::string_view header) {
    size_t n = std::min(text.size(), header.size());
    return text.substr(0, n) == header.substr(0, n);
  };
  if (StartsWith(head, 0, kUtf16Bom)) {
    std::string header;
    Utf8ToUtf16(kUnicodeHeader, &header);
    return begins(head.substr(2), header);
  }
  if (StartsWith(head, 0, kUtf8Bom)) return begins(head.substr(3), kUnicodeHeader);
  return begins(head, kHeader) || begins(head, kUnicodeHeader);
}

}  // namespace fileregistry
