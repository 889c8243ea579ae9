#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "backend/Utf8Decoder.h"
#include "core/support/RowName.h"

namespace zvui {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

std::string decodeWhole(std::string_view bytes) {
  Utf8Decoder decoder;
  std::string out = decoder.decode(bytes);
  return out + decoder.finish();
}

struct DecodeCase {
  const char* name;
  std::string input;
  std::string expected;
};

class Utf8DecodeTable : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Utf8DecodeTable, DecodesWholeInput) {
  const auto& c = GetParam();
  EXPECT_EQ(decodeWhole(c.input), c.expected);
  EXPECT_EQ(toValidUtf8(c.input), c.expected);
  EXPECT_EQ(isValidUtf8(c.input), c.input == c.expected);
}

// Each ill-formed sequence becomes one U+FFFD for its maximal subpart; the byte that broke
// the sequence is decoded again.
INSTANTIATE_TEST_SUITE_P(
    Rows, Utf8DecodeTable,
    ::testing::Values(
        // well-formed
        DecodeCase{"empty", "", ""},
        DecodeCase{"ascii_with_nul", std::string("a\0b", 3), std::string("a\0b", 3)},
        DecodeCase{"two_byte", "\xC3\xA9", "\xC3\xA9"},
        DecodeCase{"three_byte", "\xE2\x82\xAC", "\xE2\x82\xAC"},
        DecodeCase{"four_byte", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        DecodeCase{"highest_scalar", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        DecodeCase{"bom_kept", "\xEF\xBB\xBFx", "\xEF\xBB\xBFx"},
        // ill-formed
        DecodeCase{"lone_continuation", "a\x80z", "a" + kFffd + "z"},
        DecodeCase{"c0_c1_never_valid", "\xC0\xAF", kFffd + kFffd},
        DecodeCase{"f5_and_above", "\xF5\xFF", kFffd + kFffd},
        DecodeCase{"overlong_three_byte", "\xE0\x80\xAF", kFffd + kFffd + kFffd},
        DecodeCase{"surrogate", "\xED\xA0\x80", kFffd + kFffd + kFffd},
        DecodeCase{"above_max", "\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},
        DecodeCase{"truncated_then_ascii", "\xE2\x82z", kFffd + "z"},
        DecodeCase{"truncated_four_then_lead", "\xF0\x9F\x98\xC3\xA9", kFffd + "\xC3\xA9"},
        DecodeCase{"truncated_at_end", "ok\xF0\x9F", "ok" + kFffd},
        DecodeCase{"unicode_example", "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
                   "a" + kFffd + kFffd + kFffd + "b" + kFffd + "c" + kFffd + kFffd + "d"}),
    test::RowName{});

// However the stream is cut into blocks, the text that comes out is the same, and no block
// ever yields ill-formed text.
TEST(Utf8Decoder, OutputDoesNotDependOnBlockBoundaries) {
  std::mt19937 random(20261206);
  const std::vector<std::string> pieces = {
      "a",        "\n",       "\xC3\xA9",     "\xE2\x82\xAC", "\xF0\x9F\x98\x80",  "\x80",
      "\xE2\x82", "\xF0\x9F", "\xED\xA0\x80", "\xFF",         std::string("\0", 1)};
  for (int round = 0; round < 300; ++round) {
    std::string input;
    const int count = std::uniform_int_distribution<int>(0, 40)(random);
    for (int k = 0; k < count; ++k) {
      input += pieces[std::uniform_int_distribution<std::size_t>(0, pieces.size() - 1)(random)];
    }
    const std::string whole = decodeWhole(input);
    Utf8Decoder decoder;
    std::string joined;
    std::size_t at = 0;
    while (at < input.size()) {
      const std::size_t size =
          std::min(input.size() - at, std::uniform_int_distribution<std::size_t>(0, 5)(random));
      const std::string block = decoder.decode(std::string_view(input).substr(at, size));
      ASSERT_TRUE(isValidUtf8(block));
      joined += block;
      at += size;
    }
    joined += decoder.finish();
    ASSERT_EQ(joined, whole) << "round " << round;
  }
}

TEST(Utf8Decoder, FinishFlushesTheTailAndStartsAfresh) {
  Utf8Decoder decoder;
  EXPECT_EQ(decoder.decode("\xE2\x82"), "");
  EXPECT_EQ(decoder.finish(), kFffd);
  EXPECT_EQ(decoder.decode("\xAC"), kFffd);  // no longer the tail of the earlier sequence
}

}  // namespace
}  // namespace zvui
