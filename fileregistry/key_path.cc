#include "fileregistry/key_path.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "fileregistry/win32_registry.h"

namespace fileregistry {

bool IsKeyPath(std::string_view text, size_t begin, size_t end, uint32_t* first_slashes) {
  if (begin == end || text[begin] == '\\' || text[end - 1] == '\\') return false;
  size_t i = begin;
  bool after_slash = false;
  uint32_t first = 0;
#ifdef __SSE2__
  const __m128i slash = _mm_set1_epi8('\\'), del = _mm_set1_epi8(0x7f);
  const __m128i highest_control = _mm_set1_epi8(0x1f);
  for (; i < end && i + 16 <= text.size(); i += 16) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
    __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(bytes, highest_control), highest_control);
    unsigned inside = end - i >= 16 ? 0xffffu : (1u << (end - i)) - 1;
    unsigned bad = _mm_movemask_epi8(_mm_or_si128(control, _mm_cmpeq_epi8(bytes, del))) & inside;
    unsigned slashes = _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, slash)) & inside;
    if (bad != 0 || (slashes & (slashes >> 1)) != 0 || (after_slash && (slashes & 1))) {
      return false;
    }
    after_slash = (slashes & 0x8000u) != 0;
    if (i - begin < 32) first |= slashes << (i - begin);
  }
#endif
  for (; i < end; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f || (c == '\\' && after_slash)) return false;
    after_slash = c == '\\';
    if (after_slash && i - begin < 32) first |= 1u << (i - begin);
  }
  if (first_slashes != nullptr) *first_slashes = first;
  return true;
}

bool IsWritableKeyPath(std::string_view path) { return IsKeyPath(path, 0, path.size()); }

bool IsWritableName(std::string_view name) {
  for (char c : name) {
    unsigned char byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 || byte == 0x7f) && c != '\n' && c != '\r') return false;
  }
  return true;
}

bool GoesTo32BitView(std::string_view path, unsigned long access) {
  return (access & KEY_WOW64_32KEY) != 0 && (access & KEY_WOW64_64KEY) == 0 &&
         IsAtOrBelow(path, "Software") && !IsAtOrBelow(path, kWow64Key);
}

std::string In32BitView(std::string_view path) {
  return kWow64Key + std::string(path.substr(sizeof("Software") - 1));
}

}  // namespace fileregistry
