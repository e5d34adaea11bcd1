#include "fileregistry/unicode/utf16.h"

#include <algorithm>
#include <cstdint>
#include <memory>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace fileregistry {
namespace {

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

}  // namespace

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

}  // namespace fileregistry
