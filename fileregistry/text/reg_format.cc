// Writing values in the export format: quoted texts, dwords and hex lists
// folded as regedit folds them.
#include <cstdio>

#include "fileregistry/key_path.h"
#include "fileregistry/text/reg_syntax.h"
#include "fileregistry/unicode/utf16.h"

namespace fileregistry {
namespace {

bool IsQuotable(std::string_view bytes) { return IsWritableName(bytes); }

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

}  // namespace

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

// A text as the ...A calls see it, from its UTF-16LE bytes in a version 5
// store: written with a terminating zero, read without it.
std::string AnsiFromUnicode(const std::string& utf16) {
  if (utf16.size() % 2 != 0) return utf16;
  size_t n = utf16.size();
  if (n >= 2 && utf16[n - 1] == '\0' && utf16[n - 2] == '\0') n -= 2;
  return Utf16ToUtf8(std::string_view(utf16).substr(0, n));
}

}  // namespace fileregistry
