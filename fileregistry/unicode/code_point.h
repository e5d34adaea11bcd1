// One character as a code point, in UTF-8 and in UTF-16LE: the core that
// the UTF-16 conversions and the static program's iconv share.
#ifndef FILEREGISTRY_UNICODE_CODE_POINT_H_
#define FILEREGISTRY_UNICODE_CODE_POINT_H_

#include <cstddef>
#include <cstdint>

namespace fileregistry {

// What decoding one character found.
enum class Decoded { kChar, kInvalid, kIncomplete };

// The UTF-8 character at `in`, of `left` (at least 1) bytes: the shortest
// form only, none past U+10FFFF, no surrogates unless `surrogates`. Sets
// `*code` and its length `*used`. A beginning cut off by the input's end,
// its length told by its first byte, is incomplete rather than invalid.
Decoded DecodeUtf8(const uint8_t* in, size_t left, uint32_t* code, size_t* used,
                   bool surrogates = false);

// The UTF-16LE character at `in`, `left` bytes: a surrogate only in a pair.
Decoded DecodeUtf16(const uint8_t* in, size_t left, uint32_t* code, size_t* used);

// Writes `code` to `out` in UTF-8 (1 to 4 bytes) or in UTF-16LE (2 or 4);
// returns its length.
size_t EncodeUtf8(uint32_t code, uint8_t out[4]);
size_t EncodeUtf16(uint32_t code, uint8_t out[4]);

}  // namespace fileregistry

#endif  // FILEREGISTRY_UNICODE_CODE_POINT_H_
