#include "fileregistry/unicode/text_codec.h"

#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <new>

#include "fileregistry/unicode/code_point.h"

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

Decoded Decode(Charset from, const uint8_t* in, size_t left, uint32_t* code, size_t* used) {
  switch (from) {
    case Charset::kLatin1:
      *code = in[0];
      *used = 1;
      return Decoded::kChar;
    case Charset::kUtf8: return DecodeUtf8(in, left, code, used);
    case Charset::kUtf16Le: return DecodeUtf16(in, left, code, used);
  }
  return Decoded::kInvalid;
}

// Writes `code` to `out`; its length, or 0 when `to` cannot hold it.
size_t Encode(Charset to, uint32_t code, uint8_t out[4]) {
  switch (to) {
    case Charset::kLatin1:
      if (code > 0xFF) return 0;
      out[0] = static_cast<uint8_t>(code);
      return 1;
    case Charset::kUtf16Le: return EncodeUtf16(code, out);
    case Charset::kUtf8: return EncodeUtf8(code, out);
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
    size_t length = decoded == Decoded::kChar ? Encode(codec->to, code, bytes) : 0;
    if (decoded != Decoded::kChar || length == 0) {
      errno = decoded == Decoded::kIncomplete ? EINVAL : EILSEQ;
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
