// The character conversions hivex asks of iconv (names in Latin-1, values
// in UTF-16LE, both to and from UTF-8), done here with no gconv modules:
// the static program's iconv, for systems that have none or another
// C library's.
#ifndef FILEREGISTRY_UNICODE_TEXT_CODEC_H_
#define FILEREGISTRY_UNICODE_TEXT_CODEC_H_

#include <cstddef>

namespace fileregistry {

enum class Charset { kUtf8, kLatin1, kUtf16Le };

struct TextCodec {
  Charset to, from;
};

// As iconv_open: a codec from `from` to `to`, or null with errno EINVAL
// when either is not UTF-8, LATIN1 (ISO-8859-1) or UTF-16LE.
TextCodec* OpenCodec(const char* to, const char* from);

// As iconv: converts whole characters from `*in` to `*out`, moving both on.
// Returns 0, or -1 with errno E2BIG (no room), EILSEQ (an invalid or
// unencodable character) or EINVAL (the input ends inside a character).
// A null `in` or `*in` has nothing to reset and returns 0.
size_t Convert(TextCodec* codec, char** in, size_t* in_left, char** out, size_t* out_left);

}  // namespace fileregistry

#endif  // FILEREGISTRY_UNICODE_TEXT_CODEC_H_
