// iconv for the statically linked program: the C library's own needs gconv
// modules from the system it runs on, which a rescue system may lack or
// hold for another C library. hivex is all that calls it.
#include <iconv.h>

#include <cerrno>

#include "fileregistry/unicode/text_codec.h"

using fileregistry::TextCodec;

extern "C" iconv_t iconv_open(const char* to, const char* from) {
  TextCodec* codec = fileregistry::OpenCodec(to, from);
  return codec != nullptr ? static_cast<iconv_t>(codec) : reinterpret_cast<iconv_t>(-1);
}

extern "C" size_t iconv(iconv_t cd, char** in, size_t* in_left, char** out, size_t* out_left) {
  return fileregistry::Convert(static_cast<TextCodec*>(cd), in, in_left, out, out_left);
}

extern "C" int iconv_close(iconv_t cd) {
  delete static_cast<TextCodec*>(cd);
  return 0;
}
