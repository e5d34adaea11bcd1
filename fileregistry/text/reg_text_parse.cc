// Parsing a store's text: its header and encoding, and the index of its
// sections that lookups and edits work from.
#include <sys/mman.h>

#include <cstring>

#include "fileregistry/text/reg_syntax.h"
#include "fileregistry/text/reg_text.h"
#include "fileregistry/unicode/utf16.h"

namespace fileregistry {
namespace {

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

}  // namespace fileregistry
