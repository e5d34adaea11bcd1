#include "fileregistry/unicode/text_codec.h"

#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <new>

namespace fileregistry {
namespace {

struct CharsetName {
  const char* name;
  Charset charset;
};
const CharsetName kCharsetNames[] = {
    {"UTF-8", Charset::kUtf8},       {"UTF8", Charset::kUtf8},
    {"LATIN1", Charset::kLatin1},    {"ISO-8859-1", Charset::kLatin1},
    {"ISO8859-1", Charset::kLatin1}, {"ISO_8859-1", Charset::kLatin1},
    {"UTF-16LE", Charset::kUtf16Le}, {"UTF16LE", Charset::kUtf16Le},
};

bool FindCharset(const char* name, Charset* charset) {
  for (const CharsetName& known : kCharsetNames) {
    if (strcasecmp(name, known.name) == 0) {
      *charset = known.charset;
      return true;
    }
  }
  return false;
}

// What decoding one character found.
enum Decoded { kChar, kInvalid, kIncomplete };

bool Continues(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// One UTF-8 character: the shortest form only, no surrogates, none past
// U+10FFFF. As the C library, a beginning cut off by the input's end, its
// length told by its first byte, is incomplete rather than invalid.
Decoded DecodeUtf8(const uint8_t* in, size_t left, uint32_t* code, size_t* used) {
  uint8_t lead = in[0];
  if (lead < 0x80) {
    *code = lead;
    *used = 1;
    return kChar;
  }
  size_t length = lead < 0xC2   ? 0
                  : lead < 0xE0 ? 2
                  : lead < 0xF0 ? 3
                  : lead < 0xF8 ? 4
                  : lead < 0xFC ? 5
                  : lead < 0xFE ? 6
                                : 0;
  if (length == 0) return kInvalid;
  if (left < length) {
    for (size_t i = 1; i < left; ++i) {
      if (!Continues(in[i])) return kInvalid;
    }
    return kIncomplete;
  }
  if (lead > 0xF4) return kInvalid;
  // The second byte's range rules out overlong forms, surrogates and
  // characters past U+10FFFF.
  uint8_t low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  uint8_t high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  uint32_t value = lead & (0xFF >> (length + 1));
  for (size_t i = 1; i < length; ++i) {
    uint8_t byte = in[i];
    if (i == 1 ? byte < low || byte > high : !Continues(byte)) return kInvalid;
    value = value << 6 | (byte & 0x3F);
  }
  *code = value;
  *used = length;
  return kChar;
}

uint32_t Unit(const uint8_t* in) { return in[0] | in[1] << 8; }
void PutUnit(uint32_t unit, uint8_t* out) {
  out[0] = static_cast<uint8_t>(unit);
  out[1] = static_cast<uint8_t>(unit >> 8);
}

// One UTF-16LE character: a surrogate only in a pair.
Decoded DecodeUtf16(const uint8_t* in, size_t left, uint32_t* code, size_t* used) {
  if (left < 2) return kIncomplete;
  uint32_t unit = Unit(in);
  if (unit >= 0xDC00 && unit <= 0xDFFF) return kInvalid;
  if (unit < 0xD800 || unit > 0xDBFF) {
    *code = unit;
    *used = 2;
    return kChar;
  }
  if (left < 4) return kIncomplete;
  uint32_t second = Unit(in + 2);
  if (second < 0xDC00 || second > 0xDFFF) return kInvalid;
  *code = 0x10000 + ((unit - 0xD800) << 10) + (second - 0xDC00);
  *used = 4;
  return kChar;
}

Decoded Decode(Charset from, const uint8_t* in, size_t left, uint32_t* code, size_t* used) {
  switch (from) {
    case Charset::kLatin1:
      *code = in[0];
      *used = 1;
      return kChar;
    case Charset::kUtf8: return DecodeUtf8(in, left, code, used);
    case Charset::kUtf16Le: return DecodeUtf16(in, left, code, used);
  }
  return kInvalid;
}

// Writes `code` to `out`; its length, or 0 when `to` cannot hold it.
size_t Encode(Charset to, uint32_t code, uint8_t out[4]) {
  switch (to) {
    case Charset::kLatin1:
      if (code > 0xFF) return 0;
      out[0] = static_cast<uint8_t>(code);
      return 1;
    case Charset::kUtf16Le:
      if (code < 0x10000) {
        PutUnit(code, out);
        return 2;
      }
      PutUnit(0xD800 + ((code - 0x10000) >> 10), out);
      PutUnit(0xDC00 + (code & 0x3FF), out + 2);
      return 4;
    case Charset::kUtf8:
      if (code < 0x80) {
        out[0] = static_cast<uint8_t>(code);
        return 1;
      }
      size_t length = code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
      for (size_t i = length - 1; i > 0; --i, code >>= 6) {
        out[i] = static_cast<uint8_t>(0x80 | (code & 0x3F));
      }
      out[0] = static_cast<uint8_t>((0xF00 >> length) | code);
      return length;
  }
  return 0;
}

}  // namespace

TextCodec* OpenCodec(const char* to, const char* from) {
  TextCodec codec;
  if (!FindCharset(to, &codec.to) || !FindCharset(from, &codec.from)) {
    errno = EINVAL;
    return nullptr;
  }
  TextCodec* opened = new (std::nothrow) TextCodec(codec);
  if (opened == nullptr) errno = ENOMEM;
  return opened;
}

size_t Convert(TextCodec* codec, char** in, size_t* in_left, char** out, size_t* out_left) {
  if (in == nullptr || *in == nullptr) return 0;
  while (*in_left > 0) {
    uint32_t code = 0;
    size_t used = 0;
    Decoded decoded =
        Decode(codec->from, reinterpret_cast<const uint8_t*>(*in), *in_left, &code, &used);
    uint8_t bytes[4];
    size_t length = decoded == kChar ? Encode(codec->to, code, bytes) : 0;
    if (decoded != kChar || length == 0) {
      errno = decoded == kIncomplete ? EINVAL : EILSEQ;
      return static_cast<size_t>(-1);
    }
    if (length > *out_left) {
      errno = E2BIG;
      return static_cast<size_t>(-1);
    }
    for (size_t i = 0; i < length; ++i) (*out)[i] = static_cast<char>(bytes[i]);
    *out += length;
    *out_left -= length;
    *in += used;
    *in_left -= used;
  }
  return 0;
}

}  // namespace fileregistry
