// The static program's conversions against the C library's iconv, which
// the dynamically linked program uses: the same output, stops and errors.
#include "fileregistry/unicode/text_codec.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cerrno>
#include <random>
#include <string>

namespace fileregistry {
namespace {

struct Outcome {
  size_t result;
  int error;
  size_t consumed;
  std::string produced;
  bool operator==(const Outcome& o) const {
    return result == o.result && error == o.error && consumed == o.consumed &&
           produced == o.produced;
  }
  friend void PrintTo(const Outcome& o, std::ostream* os) {
    *os << "result " << static_cast<long>(o.result) << ", errno " << o.error << ", consumed "
        << o.consumed << ", produced " << testing::PrintToString(o.produced);
  }
};

template <typename Handle, typename Function>
Outcome Run(Handle handle, Function convert, const std::string& input, size_t room) {
  std::string in = input, out(room, '\0');
  char* in_at = in.data();
  char* out_at = out.data();
  size_t in_left = in.size(), out_left = room;
  errno = 0;
  size_t result = convert(handle, &in_at, &in_left, &out_at, &out_left);
  return {result, result == static_cast<size_t>(-1) ? errno : 0, in.size() - in_left,
          out.substr(0, room - out_left)};
}

// With room enough, the codec does what iconv does; with less, it stops
// with E2BIG after whole characters of the same output.
void ExpectAsIconv(const char* to, const char* from, const std::string& input) {
  iconv_t reference = iconv_open(to, from);
  ASSERT_NE(reinterpret_cast<iconv_t>(-1), reference);
  TextCodec* codec = OpenCodec(to, from);
  ASSERT_NE(nullptr, codec);
  size_t room = 4 * input.size() + 4;
  Outcome expected = Run(reference, iconv, input, room);
  EXPECT_EQ(expected, Run(codec, Convert, input, room))
      << from << " to " << to << ": " << testing::PrintToString(input);
  for (size_t less = 0; less < expected.produced.size(); ++less) {
    Outcome cut = Run(codec, Convert, input, less);
    EXPECT_TRUE(cut.error == E2BIG &&
                expected.produced.compare(0, cut.produced.size(), cut.produced) == 0)
        << from << " to " << to << ": " << testing::PrintToString(input) << ", room " << less;
  }
  iconv_close(reference);
  delete codec;
}

const char* const kDirections[][2] = {
    {"UTF-8", "LATIN1"}, {"UTF-8", "UTF-16LE"}, {"LATIN1", "UTF-8"}, {"UTF-16LE", "UTF-8"}};

TEST(TextCodec, AsIconvOnEdgesOfEveryEncoding) {
  const std::string inputs[] = {"",
                                "SPX,TCPIP",
                                "caf\xC3\xA9",
                                "\xE2\x82\xAC",
                                "\xF0\x9F\x98\x80",
                                "\xC0\xAF",
                                "\xE0\x80\xAF",
                                "\xED\xA0\x80",
                                "\xF4\x90\x80\x80",
                                "\xE2\x82",
                                "\xE2\x28\xA1",
                                "\xFF",
                                std::string("A\0B\0", 4),
                                std::string("\x00\xD8\x00\xDC", 4),
                                std::string("\x00\xDC", 2),
                                std::string("\x00\xD8", 2),
                                std::string("\x00\xD8"
                                            "A\0",
                                            4),
                                "A",
                                "\xE9t\xE9"};
  for (auto& direction : kDirections) {
    for (const std::string& input : inputs) {
      ExpectAsIconv(direction[0], direction[1], input);
    }
  }
}

TEST(TextCodec, AsIconvOnRandomBytes) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> byte(0, 255), length(0, 12);
  const uint8_t likely[] = {0x00, 0x41, 0x7F, 0x80, 0xBF, 0xC2, 0xDF, 0xE0, 0xED,
                            0xEF, 0xF0, 0xF4, 0xF5, 0xD8, 0xDB, 0xDC, 0xDF, 0xFF};
  for (int i = 0; i < 20000; ++i) {
    std::string input;
    for (int n = length(random); n > 0; --n) {
      int b = byte(random);
      input += static_cast<char>(b % 2 ? likely[b % sizeof(likely)] : b);
    }
    auto& direction = kDirections[i % 4];
    ExpectAsIconv(direction[0], direction[1], input);
  }
}

TEST(TextCodec, RefusesOtherCharsets) {
  errno = 0;
  EXPECT_EQ(nullptr, OpenCodec("UTF-8", "CP1252"));
  EXPECT_EQ(EINVAL, errno);
}

}  // namespace
}  // namespace fileregistry
