#include "fileregistry/text/reg_text.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include "fileregistry/file/atomic_replace.h"
#include "fileregistry/key_path.h"
#include "fileregistry/text/reg_syntax.h"
#include "fileregistry/unicode/utf16.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

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

// Memory for `size` bytes of decoded text, touched only where it is
// written: a large text's in huge pages where the system has them, a fault
// every 2 MiB instead of every 4 KiB. Throws std::bad_alloc, as new does.
std::shared_ptr<char[]> DecodedText(size_t size) {
  const size_t kHugePage = 2 << 20;
  void* memory = size >= kHugePage ? mmap(nullptr, size, PROT_READ | PROT_WRITE,
                                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                   : MAP_FAILED;
  if (memory == MAP_FAILED) return std::shared_ptr<char[]>(new char[size]);
  madvise(memory, size, MADV_HUGEPAGE);
  return std::shared_ptr<char[]>(static_cast<char*>(memory),
                                 [size](char* text) { munmap(text, size); });
}

}  // namespace

bool RegText::Parse(std::string text, ParseError* error) {
  auto owner = std::make_shared<std::string>(std::move(text));
  std::string_view view(*owner);
  return Parse(std::move(owner), view, error);
}

bool RegText::Parse(std::shared_ptr<const void> owner, std::string_view view, ParseError* error) {
  owner_.reset();
  source_owner_.reset();
  source_ = text_ = std::string_view();
  sections_.clear();
  crlf_ = false;
  dialect_ = Dialect::kRegedit4;
  if (view.empty()) return true;
  Dialect dialect;
  Line header;
  std::vector<Section> sections;
  std::shared_ptr<const void> source_owner = owner;
  std::string_view source = view;
  if (!ReadHeader(&owner, &view, &dialect, &header, error) ||
      !IndexSections(view, header.next, dialect == Dialect::kRegedit4, &sections, error)) {
    return false;
  }
  owner_ = std::move(owner);
  source_owner_ = std::move(source_owner);
  source_ = source;
  changed_ = false;
  text_ = view;
  sections_ = std::move(sections);
  crlf_ = header.end < header.next && view[header.end] == '\r';
  dialect_ = dialect;
  return true;
}

bool RegText::ReadHeader(std::shared_ptr<const void>* owner, std::string_view* view,
                         Dialect* dialect, Line* header, ParseError* error) {
  *dialect = Dialect::kRegedit4;
  if (StartsWith(*view, 0, kUtf16Bom)) {
    if (view->size() % 2 != 0) return Refused(error, "", 0, "odd number of bytes in a UTF-16 file");
    // Decoded into memory that is touched only where it is written.
    std::shared_ptr<char[]> decoded = DecodedText(view->size() / 2 * 3 + 1);
    *view = std::string_view(decoded.get(), Utf16ToUtf8(view->substr(2), decoded.get()));
    *owner = std::move(decoded);
    *dialect = Dialect::kUnicodeUtf16;
  } else if (StartsWith(*view, 0, kUtf8Bom)) {
    view->remove_prefix(3);
    *dialect = Dialect::kUnicodeUtf8Bom;
  }
  *header = LineAt(*view, 0);
  std::string_view header_text = view->substr(0, TrimBlanks(*view, 0, header->end));
  if (header_text == kUnicodeHeader) {
    if (*dialect == Dialect::kRegedit4) *dialect = Dialect::kUnicodeUtf8;
    return true;
  }
  if (header_text == kHeader && *dialect == Dialect::kRegedit4) return true;
  return Refused(error, *view, 0, "not a registry file");
}

bool RegText::IndexSections(std::string_view view, size_t pos, bool regedit4,
                            std::vector<Section>* sections, ParseError* error) {
  // Room for as many sections as such a file holds, going by the size of a
  // section of an export; a file of shorter ones grows the vector.
  if (view.size() > UINT32_MAX) return Refused(error, "", 0, "larger than 4 GiB");
  sections->reserve(view.size() / 64 + 16);
  enum { kNone, kLocalMachine, kOtherHive } in = kNone;
  while (pos < view.size()) {
    Line line = LineAt(view, pos);
    size_t p = SkipBlanks(view, line.begin, line.end);
    char first = p < line.end ? view[p] : '\0';
    const char* why = nullptr;
    if (first == '\0' || first == ';') {
      // A blank line holds only blanks; a comment may hold anything.
      if (p < line.end && memchr(view.data() + p, '\0', line.end - p)) why = "zero byte";
      pos = line.next;
    } else if (first == '[') {
      size_t end = TrimBlanks(view, p, line.end), path_begin;
      bool local_machine;
      uint32_t slashes;
      why = end - p < 2 || view[end - 1] != ']'
                ? "unclosed key name"
                : ParseSectionPath(view, p + 1, end - 1, regedit4, &path_begin, &local_machine,
                                   &slashes);
      if (why != nullptr && p + 1 < end && view[p + 1] == '-') why = kRemoval;
      if (why == nullptr && local_machine) {
        sections->push_back(
            Section{static_cast<uint32_t>(path_begin), static_cast<uint32_t>(end - 1 - path_begin),
                    static_cast<uint32_t>(line.begin), static_cast<uint32_t>(line.next), slashes});
      }
      in = why != nullptr ? in : local_machine ? kLocalMachine : kOtherHive;
    } else if (first == '"' || first == '@') {
      if (in == kNone) return Refused(error, view, pos, "value outside a key");
      why = ParseEntry(view, line, p, nullptr, nullptr, &pos);
      if (why == nullptr && in == kLocalMachine) {
        sections->back().values_end = static_cast<uint32_t>(pos);
      }
    } else {
      why = "not a key, value or comment";
    }
    if (why != nullptr) return Refused(error, view, line.begin, why);
    if (first == '[') pos = line.next;
  }
  return true;
}

bool RegText::CanStore(std::string_view name, const RegValue& value) const {
  if (!IsUnicode()) return true;
  std::string unused;
  return Utf8ToUtf16(name, &unused) &&
         (!IsTextType(value.type) || Utf8ToUtf16(value.data, &unused));
}

long RegText::FindKey(std::string_view path, std::string* stored_path) const {
  bool found = path.empty();
  for (size_t i = 0; !found && i < sections_.size(); ++i) {
    if (!MayBeAtOrBelow(sections_[i], path)) continue;
    std::string_view stored = PathOf(sections_[i]);
    found = IsAtOrBelow(stored, path);
    if (found) path = stored.substr(0, path.size());
  }
  if (found) stored_path->assign(path);
  return Looked(found);
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

long RegText::FindValue(std::string_view path, std::string_view name, RegValue* value) const {
  Entry entry;
  long section;
  return Looked(FindEntry(path, name, &entry, value, &section));
}

long RegText::Looked(bool found) const {
  if (!Intact()) return ERROR_REGISTRY_IO_FAILED;
  return found ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

void RegText::EndLine(std::string* text) const {
  if (text->back() == '\r') {
    text->push_back('\n');  // a last line that ends in a lone CR
  } else if (text->back() != '\n') {
    *text += Eol();
  }
}

RegText::Splicing RegText::SpliceAt(size_t at, size_t erase, std::string lines) const {
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

RegText::Splicing RegText::SpliceForKey(std::string_view path) const {
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

RegText::Splicing RegText::SpliceForValue(std::string_view path, std::string_view name,
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
    return SpliceAt(entry.begin, entry.end - entry.begin, lines);
  }
  std::string lines = FormatValue(name, value, Eol(), IsUnicode());
  if (section >= 0) return SpliceAt(sections_[section].values_end, 0, lines);

  // The key exists only through the keys below it: give it a section of its
  // own in front of the first of them.
  std::string stored_path = StoredCase(path);
  std::string header =
      std::string("[") + kRoot + (path.empty() ? "" : "\\") + stored_path + "]" + Eol();
  for (const Section& below : sections_) {
    if (IsAtOrBelow(PathOf(below), path)) return SpliceAt(below.begin, 0, header + lines + Eol());
  }
  Splicing added = SpliceForKey(stored_path);
  added.lines += lines;
  return added;
}

std::string RegText::WithKey(std::string_view path) const { return Bytes(SpliceForKey(path)); }

std::string RegText::WithValue(std::string_view path, std::string_view name,
                               const RegValue& value) const {
  return Bytes(SpliceForValue(path, name, value));
}

namespace {

long TooLarge(Replacement* file) {
  file->refused = "the change would make it larger than 1 GiB, the most a store may be";
  return ERROR_FILE_TOO_LARGE;
}

}  // namespace

long RegText::ReplacementFor(const Splicing& edit, Replacement* file) const {
  if (edit.unchanged) return ERROR_SUCCESS;
  file->made_from = [owner = source_owner_, source = source_](int fd) {
    return SameBytes(fd, source);
  };
  if (dialect_ == Dialect::kUnicodeUtf16) {
    // Encoded anew, whole.
    auto bytes = std::make_shared<const std::string>(Bytes(edit));
    if (bytes->size() > kLargestStore) return TooLarge(file);
    file->write = [bytes](int fd) { return WritePieces(fd, {*bytes}); };
    return ERROR_SUCCESS;
  }
  // The rest of the text as it lies in the old file's memory, copied once,
  // by the kernel.
  std::string_view bom = dialect_ == Dialect::kUnicodeUtf8Bom ? kUtf8Bom : "";
  std::string_view before = text_.substr(0, edit.at), after = text_.substr(edit.at + edit.erase);
  if (bom.size() + before.size() + edit.lines.size() + after.size() > kLargestStore) {
    return TooLarge(file);
  }
  auto lines = std::make_shared<const std::string>(edit.lines);
  file->write = [owner = owner_, bom, before, lines, after](int fd) {
    return WritePieces(fd, {bom, before, *lines, after});
  };
  return ERROR_SUCCESS;
}

long RegText::AddKey(std::string_view path, Replacement* file) const {
  return ReplacementFor(SpliceForKey(StoredCase(path)), file);
}

long RegText::SetValue(std::string_view path, std::string_view name, const RegValue& value, bool,
                       Replacement* file) const {
  if (!CanStore(name, value)) return ERROR_NO_UNICODE_TRANSLATION;
  return ReplacementFor(SpliceForValue(path, name, value), file);
}

}  // namespace fileregistry
