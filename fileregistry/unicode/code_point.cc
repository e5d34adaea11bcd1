#include "fileregistry/unicode/code_point.h"

namespace fileregistry {
namespace {

bool Continues(uint8_t byte) { return (byte & 0xC0) == 0x80; }

uint32_t Unit(const uint8_t* in) { return in[0] | in[1] << 8; }

void PutUnit(uint32_t unit, uint8_t* out) {
  out[0] = static_cast<uint8_t>(unit);
  out[1] = static_cast<uint8_t>(unit >> 8);
}

}  // namespace

Decoded DecodeUtf8(const uint8_t* in, size_t left, uint32_t* code, size_t* used, bool surrogates) {
  uint8_t lead = in[0];
  if (lead < 0x80) {
    *code = lead;
    *used = 1;
    return Decoded::kChar;
  }
  size_t length = lead < 0xC2   ? 0
                  : lead < 0xE0 ? 2
                  : lead < 0xF0 ? 3
                  : lead < 0xF8 ? 4
                  : lead < 0xFC ? 5
                  : lead < 0xFE ? 6
                                : 0;
  if (length == 0) return Decoded::kInvalid;
  if (left < length) {
    for (size_t i = 1; i < left; ++i) {
      if (!Continues(in[i])) return Decoded::kInvalid;
    }
    return Decoded::kIncomplete;
  }
  if (lead > 0xF4) return Decoded::kInvalid;
  // The second byte's range rules out overlong forms, surrogates and
  // characters past U+10FFFF.
  uint8_t low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  uint8_t high = lead == 0xED && !surrogates ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  uint32_t value = lead & (0xFF >> (length + 1));
  for (size_t i = 1; i < length; ++i) {
    uint8_t byte = in[i];
    if (i == 1 ? byte < low || byte > high : !Continues(byte)) return Decoded::kInvalid;
    value = value << 6 | (byte & 0x3F);
  }
  *code = value;
  *used = length;
  return Decoded::kChar;
}

Decoded DecodeUtf16(const uint8_t* in, size_t left, uint32_t* code, size_t* used) {
  if (left < 2) return Decoded::kIncomplete;
  uint32_t unit = Unit(in);
  if (unit >= 0xDC00 && unit <= 0xDFFF) return Decoded::kInvalid;
  if (unit < 0xD800 || unit > 0xDBFF) {
    *code = unit;
    *used = 2;
    return Decoded::kChar;
  }
  if (left < 4) return Decoded::kIncomplete;
  uint32_t second = Unit(in + 2);
  if (second < 0xDC00 || second > 0xDFFF) return Decoded::kInvalid;
  *code = 0x10000 + ((unit - 0xD800) << 10) + (second - 0xDC00);
  *used = 4;
  return Decoded::kChar;
}

size_t EncodeUtf8(uint32_t code, uint8_t out[4]) {
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

size_t EncodeUtf16(uint32_t code, uint8_t out[4]) {
  if (code < 0x10000) {
    PutUnit(code, out);
    return 2;
  }
  PutUnit(0xD800 + ((code - 0x10000) >> 10), out);
  PutUnit(0xDC00 + (code & 0x3FF), out + 2);
  return 4;
}

}  // namespace fileregistry
