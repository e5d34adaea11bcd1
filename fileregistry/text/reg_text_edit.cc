// Editing a store's text by splicing: the lines of a change put in place,
// every other byte kept, and the new file's bytes encoded as the old.
#include <cstring>

#include "fileregistry/file/file_bytes.h"
#include "fileregistry/key_path.h"
#include "fileregistry/text/reg_syntax.h"
#include "fileregistry/text/reg_text.h"
#include "fileregistry/unicode/utf16.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {
namespace {

bool EndsWithBlankLine(const std::string& text) {
  size_t n = text.size();
  return n >= 2 && text[n - 1] == '\n' &&
         (text[n - 2] == '\n' || (n >= 3 && text[n - 2] == '\r' && text[n - 3] == '\n'));
}

}  // namespace

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

LSTATUS TooLarge(Replacement* file) {
  file->refused = "the change would make it larger than 1 GiB, the most a store may be";
  return ERROR_FILE_TOO_LARGE;
}

}  // namespace

LSTATUS RegText::ReplacementFor(const Splicing& edit, Replacement* file) const {
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

LSTATUS RegText::AddKey(std::string_view path, Replacement* file) const {
  return ReplacementFor(SpliceForKey(StoredCase(path)), file);
}

LSTATUS RegText::SetValue(std::string_view path, std::string_view name, const RegValue& value, bool,
                          Replacement* file) const {
  if (!CanStore(name, value)) return ERROR_NO_UNICODE_TRANSLATION;
  return ReplacementFor(SpliceForValue(path, name, value), file);
}

}  // namespace fileregistry
