#include <gtest/gtest.h>

#include <string>

#include "support/Utf8Decoder.h"
#include "support/TestFiles.h"

namespace zvui {
namespace {

const std::string kFffd = "\uFFFD";

struct DecodeRow {
  const char* name;
  std::string input;
  std::string expected;
};
using D = DecodeRow;

class Utf8Decode : public ::testing::TestWithParam<DecodeRow> {};

TEST_P(Utf8Decode, ReplacesEachIllFormedSequenceOnce) {
  const auto& row = GetParam();
  Utf8Decoder decoder;
  const std::string decoded = decoder.decode(row.input);
  EXPECT_EQ(decoded + decoder.finish(), row.expected);
  EXPECT_EQ(toValidUtf8(row.input), row.expected);
  EXPECT_EQ(isValidUtf8(row.input), row.input == row.expected);
}

// Each ill-formed sequence becomes one U+FFFD for its maximal subpart; the byte that broke
// the sequence is decoded again.
INSTANTIATE_TEST_SUITE_P(
    Rows, Utf8Decode,
    ::testing::Values(D{"ascii_with_nul", std::string("a\0b", 3), std::string("a\0b", 3)},
                      D{"two_three_four_bytes", "\u00E9\u20AC\U0001F600", "\u00E9\u20AC\U0001F600"},
                      D{"highest_scalar", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
                      D{"lone_continuation", "a\x80z", "a" + kFffd + "z"},
                      D{"c0_c1_never_valid", "\xC0\xAF", kFffd + kFffd},
                      D{"f5_and_above", "\xF5\xFF", kFffd + kFffd},
                      D{"overlong_three_byte", "\xE0\x80\xAF", kFffd + kFffd + kFffd},
                      D{"surrogate", "\xED\xA0\x80", kFffd + kFffd + kFffd},
                      D{"above_max", "\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},
                      D{"truncated_then_ascii", "\xE2\x82z", kFffd + "z"},
                      D{"truncated_four_then_lead", "\xF0\x9F\x98\xC3\xA9", kFffd + "\u00E9"},
                      D{"truncated_at_end", "ok\xF0\x9F", "ok" + kFffd},
                      D{"unicode_example", "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
                        "a" + kFffd + kFffd + kFffd + "b" + kFffd + "c" + kFffd + kFffd + "d"}),
    test::RowName);

}  // namespace
}  // namespace zvui
