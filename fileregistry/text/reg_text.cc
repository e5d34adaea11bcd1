#include "fileregistry/text/reg_text.h"

#include <algorithm>
#include <cstring>

#include "fileregistry/key_path.h"
#include "fileregistry/text/reg_syntax.h"
#include "fileregistry/unicode/utf16.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {

bool RegText::CanStore(std::string_view name, const RegValue& value) const {
  if (!IsUnicode()) return true;
  std::string unused;
  return Utf8ToUtf16(name, &unused) &&
         (!IsTextType(value.type) || Utf8ToUtf16(value.data, &unused));
}

LSTATUS RegText::FindKey(std::string_view path, std::string* stored_path) const {
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

LSTATUS RegText::FindValue(std::string_view path, std::string_view name, RegValue* value) const {
  Entry entry;
  long section;
  return Looked(FindEntry(path, name, &entry, value, &section));
}

LSTATUS RegText::Looked(bool found) const {
  if (!Intact()) return ERROR_REGISTRY_IO_FAILED;
  return found ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

}  // namespace fileregistry
