// The text of a store in the registry export format, as regedit and reg.exe
// write it: parsing, looking up keys and values, and editing by splicing, so
// that everything an edit does not touch keeps its bytes.
//
//   REGEDIT4                       (or: Windows Registry Editor Version 5.00)
//
//   [HKEY_LOCAL_MACHINE\Software\Example]
//   "Text"="a \"quoted\" word\\n"
//   @="the default value"
//   "Number"=dword:0000002a
//   "Blob"=hex:01,02,03      (long lists go on over lines ending in "\")
//   "Other"=hex(7):41,00,00
//
// REGEDIT4 is ANSI text. Version 5 is Unicode: UTF-16LE with a byte-order
// mark, as regedit writes it, or UTF-8 with or without one; its hex(1),
// hex(2) and hex(7) data are UTF-16LE. Values are seen as the ...A calls of
// Windows see them: texts in the ANSI code page, which here is UTF-8.
// Sections of hives other than HKEY_LOCAL_MACHINE are kept, and ignored.
#ifndef FILEREGISTRY_TEXT_REG_TEXT_H_
#define FILEREGISTRY_TEXT_REG_TEXT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fileregistry/key_path.h"
#include "fileregistry/store.h"
#include "fileregistry/text/reg_syntax.h"
#include "fileregistry/unicode/utf16.h"
#include "fileregistry/win32_registry.h"

namespace fileregistry {

// How a store file is written: header, encoding and byte-order mark.
enum class Dialect { kRegedit4, kUnicodeUtf8, kUnicodeUtf8Bom, kUnicodeUtf16 };

// Why a text is not a store: the line (from 1) and a short reason.
struct ParseError {
  size_t line = 0;
  const char* reason = "";
};

// Key paths are relative to HKEY_LOCAL_MACHINE, with single backslashes;
// the empty path is HKEY_LOCAL_MACHINE itself. Names match without regard to
// ASCII case.
class RegText : public Store {
 public:
  // Parses the file bytes `text`. Returns false, leaving this store empty and
  // saying why in `error` when given, when they are not a well-formed store.
  // An empty text is a store with no keys.
  bool Parse(std::string text, ParseError* error = nullptr);
  // The same, for bytes that `owner` keeps alive.
  bool Parse(std::shared_ptr<const void> owner, std::string_view text, ParseError* error = nullptr);

  Dialect dialect() const { return dialect_; }
  bool Intact() const override { return !changed_; }
  // The text as parsed: the file's, but UTF-8 for a UTF-16 file and without
  // a byte-order mark.
  std::string_view text() const { return text_; }
  bool IsUnicode() const { return dialect_ != Dialect::kRegedit4; }

  // Whether value `name` can hold `value` in this store's dialect: a Unicode
  // store cannot hold a name or a text (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ)
  // that is not UTF-8.
  bool CanStore(std::string_view name, const RegValue& value) const;

  // Whether the key exists: its section, or a section below it, is present.
  // When it does, sets `*stored_path` to the path in the case it was stored.
  LSTATUS FindKey(std::string_view path, std::string* stored_path) const override;

  // `path` with every leading part that already exists in the case it was
  // stored in.
  std::string StoredCase(std::string_view path) const;

  // Finds value `name` ("" for the default value) of key `path`. When a key's
  // section appears more than once, the last definition wins.
  LSTATUS FindValue(std::string_view path, std::string_view name, RegValue* value) const override;

  // Calls `visit` for each section, in file order, with a null name and
  // value, and then for each value in it.
  void ForEach(const std::function<void(std::string_view path, const std::string* name,
                                        const RegValue* value)>& visit) const;

  // The store's file bytes with the key `path` added; `path` must not exist
  // yet. A new store is REGEDIT4; any other keeps its dialect.
  std::string WithKey(std::string_view path) const;

  // The store's file bytes with value `name` of the existing key `path` set
  // to `value`, or an empty string when it already holds exactly that.
  // `CanStore` must hold for them.
  std::string WithValue(std::string_view path, std::string_view name, const RegValue& value) const;

  // The same, as a Store. SetValue refuses with 1113 what CanStore does not
  // hold; the text store keeps exactly the bytes given, `zero_behind` or not.
  LSTATUS AddKey(std::string_view path, Replacement* file) const override;
  LSTATUS SetValue(std::string_view path, std::string_view name, const RegValue& value,
                   bool zero_behind, Replacement* file) const override;

 private:
  // Offsets in 32 bits, half the memory for a large store's index: a text
  // is no larger than 4 GiB (checked by Parse).
  struct Section {
    uint32_t path_begin, path_size;  // the path, within text_
    uint32_t begin;                  // where the "[" line starts
    uint32_t values_end;             // behind the last value's line
    uint32_t slashes;                // bit i: the path's byte i, of its first 32, is "\\"
  };
  struct Entry {
    size_t begin, end;  // the entry's lines, line ends included
    std::string name;   // as stored
    size_t comment_begin = 0,
           comment_end = 0;  // a "; comment" behind it, blanks before it included
  };

  // Decodes a UTF-16 text into memory that `*owner` then keeps, and reads
  // the header: the file's dialect, and its line.
  static bool ReadHeader(std::shared_ptr<const void>* owner, std::string_view* view,
                         Dialect* dialect, Line* header, ParseError* error);
  // Reads the lines from `pos` on, each checked, into the index of the
  // sections of HKEY_LOCAL_MACHINE.
  static bool IndexSections(std::string_view view, size_t pos, bool regedit4,
                            std::vector<Section>* sections, ParseError* error);
  // A lookup's status: found or not, unless the text is no longer whole.
  LSTATUS Looked(bool found) const;
  // Whether `section` may be key `key` or lie below it, going by the index
  // alone: most sections of a large store are told apart without their text.
  static bool MayBeAtOrBelow(const Section& section, std::string_view key) {
    if (key.size() >= section.path_size) return key.size() == section.path_size;
    return key.empty() || key.size() >= 32 || (section.slashes >> key.size() & 1) != 0;
  }
  std::string_view PathOf(const Section& section) const {
    return text_.substr(section.path_begin, section.path_size);
  }
  void ForEachEntry(const Section& section,
                    const std::function<void(const Entry&, const RegValue&)>& visit) const;
  // The last entry of value `name` under `path`; sets `*section` to the last
  // section of `path` (or -1).
  bool FindEntry(std::string_view path, std::string_view name, Entry* entry, RegValue* value,
                 long* section) const;
  std::string Eol() const { return crlf_ ? "\r\n" : "\n"; }
  // An edit of the text: `lines` in place of [at, at + erase).
  struct Splicing {
    size_t at = 0, erase = 0;
    std::string lines;
    bool unchanged = false;
  };
  // Ends the last line of `text`, unless it is ended.
  void EndLine(std::string* text) const;
  // `lines` put in at `at`, in place of `erase` bytes, behind an ended line.
  Splicing SpliceAt(size_t at, size_t erase, std::string lines) const;
  Splicing SpliceForKey(std::string_view path) const;
  Splicing SpliceForValue(std::string_view path, std::string_view name,
                          const RegValue& value) const;
  // The file bytes after `edit`, in this store's encoding; empty if unchanged.
  std::string Bytes(const Splicing& edit) const;
  // Sets `*file` to the file after `edit`, written from the pieces where the
  // encoding allows. Returns 0, or 223 when it would pass kLargestStore.
  LSTATUS ReplacementFor(const Splicing& edit, Replacement* file) const;
  // The file bytes of working text `text`, in this store's encoding.
  std::string Encode(std::string text) const;

  std::shared_ptr<const void> owner_, source_owner_;
  std::string_view source_;        // the file's bytes as parsed
  std::string_view text_;          // the working text: the file's, UTF-8 for UTF-16 files
  std::vector<Section> sections_;  // of HKEY_LOCAL_MACHINE only
  bool crlf_ = false;
  Dialect dialect_ = Dialect::kRegedit4;
  mutable std::atomic<bool> changed_{false};  // the file no longer parses as it did
};

}  // namespace fileregistry

#endif  // FILEREGISTRY_TEXT_REG_TEXT_H_
