#include "fileregistry/reg_text.h"

#include <algorithm>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace fileregistry {
namespace {

const char kHeader[] = "REGEDIT4";
const char kUnicodeHeader[] = "Windows Registry Editor Version 5.00";
const char kUtf8Bom[] = "\xef\xbb\xbf";
const char kUtf16Bom[] = "\xff\xfe";
const char kRoot[] = "HKEY_LOCAL_MACHINE";
// The other hives an export may hold; the last only in REGEDIT4.
const char* const kOtherRoots[] = {"HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT", "HKEY_USERS",
                                   "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};
const uint32_t kTypeText = 1, kTypeExpandText = 2, kTypeBinary = 3, kTypeDword = 4,
               kTypeMultiText = 7;

const char kRemoval[] = "removal lines belong in import files";

bool IsTextType(uint32_t type) {
  return type == kTypeText || type == kTypeExpandText || type == kTypeMultiText;
}

char FoldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = FoldCase(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// One line of text: [begin, end) without its line end; `next` is where the
// following line starts.
struct Line {
  size_t begin, end, next;
};

Line LineAt(std::string_view text, size_t pos) {
  const void* newline = memchr(text.data() + pos, '\n', text.size() - pos);
  size_t end = newline ? static_cast<const char*>(newline) - text.data() : text.size();
  size_t next = newline ? end + 1 : end;
  if (end > pos && text[end - 1] == '\r') --end;
  return Line{pos, end, next};
}

size_t SkipBlanks(std::string_view text, size_t pos, size_t end) {
  while (pos < end && IsBlank(text[pos])) ++pos;
  return pos;
}

size_t TrimBlanks(std::string_view text, size_t begin, size_t end) {
  while (end > begin && IsBlank(text[end - 1])) --end;
  return end;
}

bool StartsWith(std::string_view text, size_t pos, std::string_view prefix) {
  return text.substr(pos, prefix.size()) == prefix;
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
// following lines that end in a backslash. Leaves `*line` on the last line.
bool ParseHexList(std::string_view text, Line* line, size_t pos, std::string* out) {
  for (;;) {
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
    pos = SkipBlanks(text, pos, line->end);
    if (pos < line->end && text[pos] == ',') {
      ++pos;
    } else if (pos < line->end && text[pos] != '\\' && text[pos] != ';') {
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

// Parses the value entry that starts on `first` (at `pos`). Fills `name` and
// `value` when given; sets `*next` to where the line behind the entry starts.
// Blanks may stand around "=", and a "; comment" behind the value, which
// `comment` gets when given, blanks before it included. Returns null, or why
// the entry is not one.
const char* ParseEntry(std::string_view text, Line first, size_t pos, std::string* name,
                       RegValue* value, size_t* next, bool* quoted = nullptr,
                       std::string_view* comment = nullptr) {
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
    if (!ParseHexList(text, &line, pos, data)) return "bad hex data";
    pos = line.end;
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

// Whether text[begin, end) is a key path: parts split by single backslashes,
// none empty, no control bytes, no DEL. Reads on to the text's end, which
// spares the slow tail of the vector scan.
bool IsKeyPath(std::string_view text, size_t begin, size_t end) {
  if (begin == end || text[begin] == '\\' || text[end - 1] == '\\') return false;
  for (size_t i = begin;; ++i) {
    i += PlainRun(text.data() + i, text.size() - i, '\\', 0x7f);
    if (i >= end) return true;
    if (text[i] != '\\' || text[i + 1] == '\\') return false;
  }
}

// Checks the inside of a section line and finds the key path in it. Sets
// `*local_machine` to whether it is a key of HKEY_LOCAL_MACHINE.
const char* ParseSectionPath(std::string_view text, size_t begin, size_t end, bool regedit4,
                             size_t* path_begin, bool* local_machine) {
  const size_t kRootSize = sizeof(kRoot) - 1;
  size_t root_end;
  if (end - begin >= kRootSize && memcmp(text.data() + begin, kRoot, kRootSize) == 0 &&
      (end - begin == kRootSize || text[begin + kRootSize] == '\\')) {
    root_end = begin + kRootSize;  // the common case, spelt as regedit spells it
  } else {
    const void* slash = memchr(text.data() + begin, '\\', end - begin);
    root_end = slash ? static_cast<const char*>(slash) - text.data() : end;
  }
  std::string_view root = text.substr(begin, root_end - begin);
  *local_machine = root == kRoot || EqualFoldingCase(root, kRoot);
  if (!*local_machine) {
    bool known = false;
    for (const char* other : kOtherRoots) {
      if (EqualFoldingCase(root, other))
        known = regedit4 || std::string_view(other) != "HKEY_DYN_DATA";
    }
    if (!known) return "unknown root key";
  }
  *path_begin = root_end == end ? end : root_end + 1;
  if (root_end == end) return nullptr;
  return IsKeyPath(text, root_end + 1, end) ? nullptr : "bad key name";
}

bool IsQuotable(std::string_view bytes) {
  for (char c : bytes) {
    if (IsControl(c) && c != '\n' && c != '\r') return false;
  }
  return true;
}

void AppendQuoted(std::string_view bytes, std::string* out) {
  out->push_back('"');
  for (char c : bytes) {
    switch (c) {
      case '\\': out->append("\\\\"); break;
      case '"': out->append("\\\""); break;
      case '\n': out->append("\\n"); break;
      case '\r': out->append("\\r"); break;
      default: out->push_back(c);
    }
  }
  out->push_back('"');
}

bool EndsWithBlankLine(const std::string& text) {
  size_t n = text.size();
  return n >= 2 && text[n - 1] == '\n' &&
         (text[n - 2] == '\n' || (n >= 3 && text[n - 2] == '\r' && text[n - 3] == '\n'));
}

// Line number (from 1) of the byte at `pos`.
size_t LineNumber(std::string_view text, size_t pos) {
  return 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + pos, '\n'));
}

// Says why in `error`, when given; returns false. Kept out of line, away
// from the parser's loop.
[[gnu::noinline]] bool Refused(ParseError* error, std::string_view text, size_t pos,
                               const char* reason) {
  if (error != nullptr) *error = ParseError{LineNumber(text, pos), reason};
  return false;
}

void AppendUtf8(uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xc0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xe0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
  } else {
    out->push_back(static_cast<char>(0xf0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
  }
}

void AppendUtf16(uint32_t code, std::string* out) {
  auto unit = [out](uint32_t u) {
    out->push_back(static_cast<char>(u & 0xff));
    out->push_back(static_cast<char>(u >> 8));
  };
  if (code < 0x10000) {
    unit(code);
  } else {
    unit(0xd800 + ((code - 0x10000) >> 10));
    unit(0xdc00 + ((code - 0x10000) & 0x3ff));
  }
}

// A text as the ...A calls see it, from its UTF-16LE bytes in a version 5
// store: written with a terminating zero, read without it.
std::string AnsiFromUnicode(const std::string& utf16) {
  if (utf16.size() % 2 != 0) return utf16;
  size_t n = utf16.size();
  if (n >= 2 && utf16[n - 1] == '\0' && utf16[n - 2] == '\0') n -= 2;
  return Utf16ToUtf8(std::string_view(utf16).substr(0, n));
}

}  // namespace

bool EqualFoldingCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
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

bool IsAtOrBelow(std::string_view path, std::string_view key) {
  if (key.empty()) return true;
  return path.size() >= key.size() && EqualFoldingCase(path.substr(0, key.size()), key) &&
         (path.size() == key.size() || path[key.size()] == '\\');
}

bool IsWritableName(std::string_view name) { return IsQuotable(name); }

bool IsWritableKeyPath(std::string_view path) { return IsKeyPath(path, 0, path.size()); }

size_t Utf16ToUtf8(std::string_view utf16, char* out) {
  size_t n = utf16.size() / 2;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(utf16.data());
  char* o = out;
  for (size_t i = 0; i < n;) {
#ifdef __SSE2__
    // Eight ASCII units at a time: the common case of an export.
    if (i + 8 <= n) {
      __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * i));
      if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(units, _mm_set1_epi16(-0x80)),
                                            _mm_setzero_si128())) == 0xffff) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(units, units));
        o += 8;
        i += 8;
        continue;
      }
    }
#endif
    uint32_t unit = p[2 * i] | (p[2 * i + 1] << 8);
    ++i;
    if (unit < 0x80) {
      *o++ = static_cast<char>(unit);
      continue;
    }
    uint32_t code = unit;
    if (unit >= 0xd800 && unit < 0xdc00 && i < n) {
      uint32_t low = p[2 * i] | (p[2 * i + 1] << 8);
      if (low >= 0xdc00 && low < 0xe000) {
        code = 0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00);
        ++i;
      }
    }
    std::string piece;
    AppendUtf8(code, &piece);
    o = std::copy(piece.begin(), piece.end(), o);
  }
  return static_cast<size_t>(o - out);
}

std::string Utf16ToUtf8(std::string_view utf16) {
  std::unique_ptr<char[]> out(new char[utf16.size() / 2 * 3 + 1]);
  return std::string(out.get(), Utf16ToUtf8(utf16, out.get()));
}

bool Utf8ToUtf16(std::string_view utf8, std::string* utf16, bool keep_surrogates) {
  size_t start = utf16->size();
  utf16->resize(start + utf8.size() * 2);  // the most it can take
  char* o = &(*utf16)[start];
  const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8.data());
  std::string piece;
  for (size_t i = 0, n = utf8.size(); i < n;) {
    uint32_t c = p[i];
    if (c < 0x80) {
      *o++ = static_cast<char>(c);
      *o++ = '\0';
      ++i;
      continue;
    }
    size_t length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 0;
    if (length == 0 || c > 0xf4 || i + length > n) return false;
    uint32_t code = c & (0x7f >> length);
    for (size_t k = 1; k < length; ++k) {
      if ((p[i + k] & 0xc0) != 0x80) return false;
      code = (code << 6) | (p[i + k] & 0x3f);
    }
    static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    bool surrogate = code >= 0xd800 && code < 0xe000;
    if (code < kSmallest[length] || code > 0x10ffff || (surrogate && !keep_surrogates)) {
      return false;
    }
    piece.clear();
    AppendUtf16(code, &piece);
    o = std::copy(piece.begin(), piece.end(), o);
    i += length;
  }
  utf16->resize(static_cast<size_t>(o - utf16->data()));
  return true;
}

std::string FormatValue(std::string_view name, const RegValue& value, const std::string& eol,
                        bool unicode) {
  if (unicode && IsTextType(value.type) && !(value.type == kTypeText && IsQuotable(value.data))) {
    // As regedit writes them: UTF-16LE, with the terminating zero.
    RegValue wide{value.type, std::string()};
    Utf8ToUtf16(value.data, &wide.data);
    wide.data.append(2, '\0');
    return FormatValue(name, wide, eol, false);
  }
  std::string out;
  if (name.empty()) {
    out = "@";
  } else {
    AppendQuoted(name, &out);
  }
  out.push_back('=');
  char number[16];
  if (value.type == kTypeText && IsQuotable(value.data)) {
    AppendQuoted(value.data, &out);
  } else if (value.type == kTypeDword && value.data.size() == 4) {
    uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = n * 256 + static_cast<unsigned char>(value.data[i]);
    snprintf(number, sizeof(number), "dword:%08x", n);
    out += number;
  } else {
    if (value.type == kTypeBinary) {
      out += "hex:";
    } else {
      snprintf(number, sizeof(number), "hex(%x):", value.type);
      out += number;
    }
    size_t line_size = out.size();
    for (size_t i = 0; i < value.data.size(); ++i) {
      bool last = i + 1 == value.data.size();
      if (line_size + (last ? 2 : 3) > 76) {
        out += "\\" + eol + "  ";
        line_size = 2;
      }
      snprintf(number, sizeof(number), last ? "%02x" : "%02x,",
               static_cast<unsigned char>(value.data[i]));
      out += number;
      line_size += last ? 2 : 3;
    }
  }
  out += eol;
  return out;
}

bool RegText::Parse(std::string text, ParseError* error) {
  auto owner = std::make_shared<std::string>(std::move(text));
  std::string_view view(*owner);
  return Parse(std::move(owner), view, error);
}

bool RegText::Parse(std::shared_ptr<const void> owner, std::string_view view, ParseError* error) {
  owner_.reset();
  text_ = std::string_view();
  sections_.clear();
  crlf_ = false;
  dialect_ = Dialect::kRegedit4;
  if (view.empty()) return true;
  auto fail = [error](std::string_view text, size_t pos, const char* reason) {
    return Refused(error, text, pos, reason);
  };

  // The encoding, then the header.
  Dialect dialect = Dialect::kRegedit4;
  if (StartsWith(view, 0, kUtf16Bom)) {
    if (view.size() % 2 != 0) return fail("", 0, "odd number of bytes in a UTF-16 file");
    // Decoded into memory that is touched only where it is written.
    std::shared_ptr<char[]> decoded(new char[view.size() / 2 * 3 + 1]);
    view = std::string_view(decoded.get(), Utf16ToUtf8(view.substr(2), decoded.get()));
    owner = std::move(decoded);
    dialect = Dialect::kUnicodeUtf16;
  } else if (StartsWith(view, 0, kUtf8Bom)) {
    view.remove_prefix(3);
    dialect = Dialect::kUnicodeUtf8Bom;
  }
  Line header = LineAt(view, 0);
  std::string_view header_text = view.substr(0, TrimBlanks(view, 0, header.end));
  if (header_text == kUnicodeHeader) {
    if (dialect == Dialect::kRegedit4) dialect = Dialect::kUnicodeUtf8;
  } else if (header_text != kHeader || dialect != Dialect::kRegedit4) {
    return fail(view, 0, "not a registry file");
  }
  bool regedit4 = dialect == Dialect::kRegedit4;
  bool crlf = header.end < header.next && view[header.end] == '\r';

  std::vector<Section> sections;
  // Room for the sections of most stores at once; a larger one grows it, so
  // that memory follows what the file holds.
  const size_t most_sections = view.size() / (sizeof("[HKEY_LOCAL_MACHINE]") - 1) + 1;
  sections.reserve(std::min<size_t>(most_sections, 1 << 16));
  enum { kNone, kLocalMachine, kOtherHive } in = kNone;
  for (size_t pos = header.next; pos < view.size();) {
    Line line = LineAt(view, pos);
    size_t p = SkipBlanks(view, line.begin, line.end);
    char first = p < line.end ? view[p] : '\0';
    if (first == '\0' || first == ';') {
      if (memchr(view.data() + line.begin, '\0', line.end - line.begin) != nullptr) {
        return fail(view, pos, "zero byte");
      }
      pos = line.next;
    } else if (first == '[') {
      size_t end = TrimBlanks(view, p, line.end);
      size_t path_begin;
      bool local_machine;
      const char* why =
          end - p < 2 || view[end - 1] != ']'
              ? "unclosed key name"
              : ParseSectionPath(view, p + 1, end - 1, regedit4, &path_begin, &local_machine);
      bool removal = p + 1 < end && view[p + 1] == '-';
      if (why != nullptr) return fail(view, pos, removal ? kRemoval : why);
      if (local_machine) {
        sections.push_back(Section{path_begin, end - 1 - path_begin, line.begin, line.next});
      }
      in = local_machine ? kLocalMachine : kOtherHive;
      pos = line.next;
    } else if ((first == '"' || first == '@') && in == kLocalMachine) {
      if (const char* why = ParseEntry(view, line, p, nullptr, nullptr, &pos)) {
        return fail(view, line.begin, why);
      }
      sections.back().values_end = pos;
    } else if (first == '"' || first == '@') {
      if (in == kNone) return fail(view, pos, "value outside a key");
      if (const char* why = ParseEntry(view, line, p, nullptr, nullptr, &pos)) {
        return fail(view, line.begin, why);
      }
    } else {
      return fail(view, pos, "not a key, value or comment");
    }
  }
  owner_ = std::move(owner);
  changed_ = false;
  text_ = view;
  sections_ = std::move(sections);
  crlf_ = crlf;
  dialect_ = dialect;
  return true;
}

bool RegText::CanStore(std::string_view name, const RegValue& value) const {
  if (!IsUnicode()) return true;
  std::string unused;
  return Utf8ToUtf16(name, &unused) &&
         (!IsTextType(value.type) || Utf8ToUtf16(value.data, &unused));
}

bool RegText::FindKey(std::string_view path, std::string* stored_path) const {
  if (path.empty()) {
    stored_path->clear();
    return true;
  }
  for (const Section& section : sections_) {
    std::string_view stored = PathOf(section);
    if (IsAtOrBelow(stored, path)) {
      stored_path->assign(stored.substr(0, path.size()));
      return true;
    }
  }
  return false;
}

std::string RegText::StoredCase(std::string_view path) const {
  std::string_view best_stored;
  size_t best = 0;  // bytes of `path` matched by whole parts
  for (const Section& section : sections_) {
    std::string_view stored = PathOf(section);
    size_t matched = 0;
    for (size_t i = 0;; ++i) {
      bool path_done = i == path.size() || path[i] == '\\';
      bool stored_done = i == stored.size() || stored[i] == '\\';
      if (path_done || stored_done) {
        if (!(path_done && stored_done)) break;
        matched = i;
        if (i == path.size() || i == stored.size()) break;
      } else if (FoldCase(path[i]) != FoldCase(stored[i])) {
        break;
      }
    }
    if (matched > best) {
      best = matched;
      best_stored = stored.substr(0, matched);
    }
  }
  return std::string(best_stored) + std::string(path.substr(best));
}

void RegText::ForEachEntry(const Section& section,
                           const std::function<void(const Entry&, const RegValue&)>& visit) const {
  std::string_view view = text_;
  Entry entry;
  RegValue value;
  for (size_t pos = LineAt(view, section.begin).next; pos < section.values_end;) {
    Line line = LineAt(view, pos);
    size_t p = SkipBlanks(view, line.begin, line.end);
    if (p == line.end || view[p] == ';') {
      pos = line.next;
      continue;
    }
    entry.name.clear();
    value = RegValue();
    bool quoted = false;
    std::string_view comment;
    // Checked by Parse; failing now, the file changed under the mapping.
    if (ParseEntry(view, line, p, &entry.name, &value, &pos, &quoted, &comment) != nullptr) {
      changed_ = true;
      return;
    }
    entry.comment_begin = comment.empty() ? 0 : static_cast<size_t>(comment.data() - view.data());
    entry.comment_end = entry.comment_begin + comment.size();
    // Texts in hex form in a Unicode store are UTF-16LE; quoted ones are
    // UTF-8 already.
    if (IsUnicode() && IsTextType(value.type) && !quoted) value.data = AnsiFromUnicode(value.data);
    entry.begin = line.begin;
    entry.end = pos;
    visit(entry, value);
  }
}

bool RegText::FindEntry(std::string_view path, std::string_view name, Entry* entry, RegValue* value,
                        long* section) const {
  bool found = false;
  *section = -1;
  for (size_t i = 0; i < sections_.size(); ++i) {
    if (!EqualFoldingCase(PathOf(sections_[i]), path)) continue;
    *section = static_cast<long>(i);
    ForEachEntry(sections_[i], [&](const Entry& e, const RegValue& v) {
      if (EqualFoldingCase(e.name, name)) {
        found = true;
        *entry = e;
        *value = v;
      }
    });
  }
  return found;
}

void RegText::ForEach(
    const std::function<void(std::string_view, const std::string*, const RegValue*)>& visit) const {
  for (const Section& section : sections_) {
    visit(PathOf(section), nullptr, nullptr);
    ForEachEntry(section,
                 [&](const Entry& e, const RegValue& v) { visit(PathOf(section), &e.name, &v); });
  }
}

bool RegText::FindValue(std::string_view path, std::string_view name, RegValue* value) const {
  Entry entry;
  long section;
  return FindEntry(path, name, &entry, value, &section);
}

void RegText::EndLine(std::string* text) const {
  if (text->back() == '\r') {
    text->push_back('\n');  // a last line that ends in a lone CR
  } else if (text->back() != '\n') {
    *text += Eol();
  }
}

RegText::Splicing RegText::Spliced(size_t at, size_t erase, std::string lines) const {
  // A line that the text leaves unended is ended first.
  std::string glue;
  if (at > 0 && text_[at - 1] != '\n') glue = text_[at - 1] == '\r' ? "\n" : Eol();
  return Splicing{at, erase, glue + lines, false};
}

std::string RegText::Encode(std::string text) const {
  switch (dialect_) {
    case Dialect::kRegedit4:
    case Dialect::kUnicodeUtf8: return text;
    case Dialect::kUnicodeUtf8Bom: return kUtf8Bom + text;
    case Dialect::kUnicodeUtf16: break;
  }
  std::string bytes = kUtf16Bom;
  Utf8ToUtf16(text, &bytes, true);  // valid: decoded from UTF-16, or checked by CanStore
  return bytes;
}

std::string RegText::Bytes(const Splicing& edit) const {
  if (edit.unchanged) return std::string();
  std::string out;
  out.reserve(text_.size() + edit.lines.size());
  out.append(text_, 0, edit.at);
  out += edit.lines;
  out.append(text_, edit.at + edit.erase);
  return Encode(std::move(out));
}

RegText::Splicing RegText::KeyAdded(std::string_view path) const {
  // Behind everything, after an empty line; a new store gets its header.
  std::string tail =
      text_.empty() ? std::string(kHeader) + Eol()
                    : std::string(text_.substr(text_.size() - std::min<size_t>(3, text_.size())));
  size_t kept = text_.empty() ? 0 : tail.size();
  EndLine(&tail);
  if (!EndsWithBlankLine(tail)) tail += Eol();
  tail += std::string("[") + kRoot + (path.empty() ? "" : "\\") + std::string(path) + "]" + Eol();
  return Splicing{text_.size(), 0, tail.substr(kept), false};
}

RegText::Splicing RegText::ValueSet(std::string_view path, std::string_view name,
                                    const RegValue& value) const {
  Entry entry;
  RegValue stored;
  long section;
  if (FindEntry(path, name, &entry, &stored, &section)) {
    if (stored == value) return Splicing{0, 0, std::string(), true};
    // A value keeps the case of the name it was created with, and the
    // comment the user wrote behind it.
    std::string lines = FormatValue(entry.name, value, Eol(), IsUnicode());
    lines.insert(lines.size() - Eol().size(),
                 text_.substr(entry.comment_begin, entry.comment_end - entry.comment_begin));
    return Spliced(entry.begin, entry.end - entry.begin, lines);
  }
  std::string lines = FormatValue(name, value, Eol(), IsUnicode());
  if (section >= 0) return Spliced(sections_[section].values_end, 0, lines);

  // The key exists only through the keys below it: give it a section of its
  // own in front of the first of them.
  std::string stored_path = StoredCase(path);
  std::string header =
      std::string("[") + kRoot + (path.empty() ? "" : "\\") + stored_path + "]" + Eol();
  for (const Section& below : sections_) {
    if (IsAtOrBelow(PathOf(below), path)) return Spliced(below.begin, 0, header + lines + Eol());
  }
  Splicing added = KeyAdded(stored_path);
  added.lines += lines;
  return added;
}

std::string RegText::WithKey(std::string_view path) const { return Bytes(KeyAdded(path)); }

std::string RegText::WithValue(std::string_view path, std::string_view name,
                               const RegValue& value) const {
  return Bytes(ValueSet(path, name, value));
}

Replacement RegText::Writing(const Splicing& edit) const {
  Replacement file;
  if (edit.unchanged) return file;
  if (dialect_ == Dialect::kUnicodeUtf16) {
    // Encoded anew, whole.
    auto bytes = std::make_shared<const std::string>(Bytes(edit));
    file.write = [bytes](int fd) { return WriteFile(fd, {*bytes}); };
    return file;
  }
  // The rest of the text as it lies in the old file's memory, copied once,
  // by the kernel.
  std::string_view bom = dialect_ == Dialect::kUnicodeUtf8Bom ? kUtf8Bom : "";
  std::string_view before = text_.substr(0, edit.at), after = text_.substr(edit.at + edit.erase);
  auto lines = std::make_shared<const std::string>(edit.lines);
  file.write = [owner = owner_, bom, before, lines, after](int fd) {
    return WriteFile(fd, {bom, before, *lines, after});
  };
  return file;
}

long RegText::AddKey(std::string_view path, Replacement* file) const {
  *file = Writing(KeyAdded(StoredCase(path)));
  return 0;
}

long RegText::SetValue(std::string_view path, std::string_view name, const RegValue& value, bool,
                       Replacement* file) const {
  if (!CanStore(name, value)) return 1113;  // ERROR_NO_UNICODE_TRANSLATION
  *file = Writing(ValueSet(path, name, value));
  return 0;
}

}  // namespace fileregistry
