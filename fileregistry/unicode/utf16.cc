#include "fileregistry/unicode/utf16.h"

#include <algorithm>
#include <cstdint>
#include <memory>

#include "fileregistry/unicode/code_point.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace fileregistry {

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
    uint8_t bytes[4];
    o = std::copy(bytes, bytes + EncodeUtf8(code, bytes), o);
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
  const uint8_t* p = reinterpret_cast<const uint8_t*>(utf8.data());
  for (size_t i = 0, n = utf8.size(); i < n;) {
    if (p[i] < 0x80) {
      *o++ = static_cast<char>(p[i++]);
      *o++ = '\0';
      continue;
    }
    uint32_t code = 0;
    size_t used = 0;
    if (DecodeUtf8(p + i, n - i, &code, &used, keep_surrogates) != Decoded::kChar) return false;
    uint8_t units[4];
    o = std::copy(units, units + EncodeUtf16(code, units), o);
    i += used;
  }
  utf16->resize(static_cast<size_t>(o - utf16->data()));
  return true;
}

}  // namespace fileregistry
