#include <gtest/gtest.h>
#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "backend/OutputWatcher.h"
#include "backend/Utf8Decoder.h"
#include "core/support/RowName.h"

namespace zvui {
namespace {

// Which address, if any, a buffer announces.
struct AnnouncementRow {
  const char* name;
  std::string buffer;
  std::optional<std::string> address;
};

class Announcement : public ::testing::TestWithParam<AnnouncementRow> {};

TEST_P(Announcement, FirstAnnouncementLineDecides) {
  EXPECT_EQ(announcedConsoleAddress(GetParam().buffer), GetParam().address);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Announcement,
    ::testing::Values(
        AnnouncementRow{"plain", "TAMRIK_URL=http://127.0.0.1:5000/\n", "http://127.0.0.1:5000/"},
        AnnouncementRow{"after_other_lines", "a\nb\nTAMRIK_URL=http://h:1/\nc", "http://h:1/"},
        AnnouncementRow{"unterminated_tail", "log\nTAMRIK_URL=http://h:1/pa", "http://h:1/pa"},
        AnnouncementRow{"space_before_prefix", " TAMRIK_URL=http://h/\n", std::nullopt},
        AnnouncementRow{"lower_case_prefix", "tamrik_url=http://h/\n", std::nullopt},
        AnnouncementRow{"prefix_inside_a_line", "xTAMRIK_URL=http://h/\n", std::nullopt},
        AnnouncementRow{"inside_then_at_start", "xTAMRIK_URL=http://a/\nTAMRIK_URL=http://b/",
                        "http://b/"},
        AnnouncementRow{"crlf_lines", "boot\r\nTAMRIK_URL=http://h/\r\n", "http://h/"},
        AnnouncementRow{"after_cr", "boot\rTAMRIK_URL=http://h/", "http://h/"},
        AnnouncementRow{"after_vt", "boot\vTAMRIK_URL=http://h/", "http://h/"},
        AnnouncementRow{"after_ff", "boot\fTAMRIK_URL=http://h/", "http://h/"},
        AnnouncementRow{"after_nel", "boot\u0085TAMRIK_URL=http://h/", "http://h/"},
        AnnouncementRow{"after_line_separator", "boot\u2028TAMRIK_URL=http://h/", "http://h/"},
        AnnouncementRow{"after_paragraph_separator", "boot\u2029TAMRIK_URL=http://h/\u2029x",
                        "http://h/"},
        AnnouncementRow{"nel_ends_the_value", "TAMRIK_URL=http://h/\u0085tail", "http://h/"},
        AnnouncementRow{"tab_is_not_a_separator", "boot\tTAMRIK_URL=http://h/", std::nullopt},
        AnnouncementRow{"first_announcement_only", "TAMRIK_URL=http://a/\nTAMRIK_URL=http://b/\n",
                        "http://a/"}),
    test::RowName{});

INSTANTIATE_TEST_SUITE_P(
    Values, Announcement,
    ::testing::Values(
        AnnouncementRow{"spaces_and_tab_trimmed", "TAMRIK_URL= \thttp://h/ \t\n", "http://h/"},
        AnnouncementRow{"unicode_spaces_trimmed", "TAMRIK_URL=\u00A0\u3000http://h/\u2003\n",
                        "http://h/"},
        AnnouncementRow{"prefix_repeated_is_removed", "TAMRIK_URL=http://h/TAMRIK_URL=x\n",
                        "http://h/x"},
        AnnouncementRow{"removal_is_one_pass", "TAMRIK_URL=TAMRIK_TAMRIK_URL=URL=x\n",
                        "TAMRIK_URL=x"},
        AnnouncementRow{"bare_word_is_a_relative_reference", "TAMRIK_URL=console\n", "console"},
        AnnouncementRow{"empty_value", "TAMRIK_URL=\n", std::nullopt},
        AnnouncementRow{"only_spaces", "TAMRIK_URL=  \t \n", std::nullopt},
        AnnouncementRow{"zero_width_space_is_not_trimmed", "TAMRIK_URL=\u200Bhttp://h/\n",
                        std::nullopt},
        AnnouncementRow{"space_inside", "TAMRIK_URL=http://a b/\n", std::nullopt},
        AnnouncementRow{"nul_inside", std::string("TAMRIK_URL=http://h/\0\n", 22), std::nullopt},
        AnnouncementRow{"non_ascii_host", "TAMRIK_URL=http://b\u00FCcher/\n", std::nullopt},
        AnnouncementRow{"percent_encoded", "TAMRIK_URL=http://h/%C3%BC\n", "http://h/%C3%BC"},
        AnnouncementRow{"bad_percent", "TAMRIK_URL=http://h/%zz\n", std::nullopt},
        AnnouncementRow{"ipv6_host", "TAMRIK_URL=http://[::1]:8080/\n", "http://[::1]:8080/"},
        AnnouncementRow{"rejected_first_hides_later",
                        "TAMRIK_URL=http://a b/\nTAMRIK_URL=http://ok/\n", std::nullopt}),
    test::RowName{});

// The cap, in user-perceived characters, for text appended in pieces.
struct CapRow {
  const char* name;
  std::size_t capacity;
  std::vector<std::string> pieces;
  std::string kept;
  std::size_t count;
};

class Cap : public ::testing::TestWithParam<CapRow> {};

TEST_P(Cap, KeepsExactlyTheLastCharacters) {
  const auto& row = GetParam();
  OutputBuffer buffer(row.capacity);
  for (const auto& piece : row.pieces) buffer.append(piece);
  EXPECT_EQ(buffer.text(), row.kept);
  EXPECT_EQ(buffer.characterCount(), row.count);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Cap,
    ::testing::Values(CapRow{"exactly_full_is_kept_whole", 5, {"abc", "de"}, "abcde", 5},
                      CapRow{"one_more_drops_the_oldest", 5, {"abc", "def"}, "bcdef", 5},
                      CapRow{"crlf_is_one_character", 3, {"a\r\nb"}, "a\r\nb", 3},
                      CapRow{"lf_cr_is_two", 3, {"a\n\rb"}, "\n\rb", 3},
                      CapRow{"crlf_joined_across_blocks", 3, {"a\r", "\nb"}, "a\r\nb", 3},
                      CapRow{"crlf_dropped_whole", 2, {"\r\nab"}, "ab", 2},
                      CapRow{
                          "combining_mark_joins_across_blocks", 2, {"xe", "\u0301"}, "xe\u0301", 2},
                      CapRow{"cut_never_splits_a_cluster", 2, {"xe\u0301y"}, "e\u0301y", 2},
                      CapRow{"regional_indicators_pair_across_blocks",
                             2,
                             {"a\U0001F1FA", "\U0001F1F8\U0001F1E6"},
                             "\U0001F1FA\U0001F1F8\U0001F1E6",
                             2},
                      CapRow{"emoji_zwj_sequence_is_one",
                             1,
                             {"x\U0001F469\u200D", "\U0001F467"},
                             "\U0001F469\u200D\U0001F467",
                             1},
                      CapRow{"hangul_jamo_join", 1, {"a\u1100", "\u1161"}, "\u1100\u1161", 1},
                      CapRow{"prepend_joins_the_next_letter", 2, {"ab\u0600", "c"}, "b\u0600c", 2},
                      CapRow{"ill_formed_bytes_are_replaced", 10, {"a\xFF", "b"}, "a\uFFFDb", 3}),
    test::RowName{});

std::size_t icuClusterCount(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  UBreakIterator* iterator = ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status);
  UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  ubrk_setUText(iterator, utext, &status);
  std::size_t count = 0;
  while (ubrk_next(iterator) != UBRK_DONE) ++count;
  ubrk_close(iterator);
  utext_close(utext);
  return count;
}

// The ASCII shortcuts must agree with ICU on every mix of text and every split into blocks.
TEST(OutputBuffer, CountsLikeIcuForAnySplit) {
  const std::vector<std::string> pieces = {
      "a",          " ",      "\r",         "\n",         "\r\n",       "\t",
      "\u0301",     "\u0600", "\U0001F1FA", "\U0001F1F8", "\U0001F469", "\u200D",
      "\U0001F467", "\uFE0F", "\u1100",     "\u1161",     "\u11A8",     "\u0915",
      "\u094D",     "\u00E9", "\u0085",     "\u2028",     "TAMRIK_URL="};
  std::mt19937 random(7);
  for (int round = 0; round < 400; ++round) {
    std::string text;
    const int length = std::uniform_int_distribution<int>(0, 60)(random);
    for (int k = 0; k < length; ++k) {
      text += pieces[std::uniform_int_distribution<std::size_t>(0, pieces.size() - 1)(random)];
    }
    const std::size_t expected = icuClusterCount(text);
    const std::size_t capacity = std::uniform_int_distribution<std::size_t>(1, 30)(random);

    OutputBuffer unbounded(1000000);
    OutputBuffer capped(capacity);
    std::size_t at = 0;
    while (at < text.size()) {
      // Split only between characters, as the decoder delivers them.
      std::size_t size = std::uniform_int_distribution<std::size_t>(1, 12)(random);
      size = std::min(size, text.size() - at);
      while (at + size < text.size() &&
             (static_cast<unsigned char>(text[at + size]) & 0xC0) == 0x80) {
        ++size;
      }
      unbounded.append(std::string_view(text).substr(at, size));
      capped.append(std::string_view(text).substr(at, size));
      at += size;
    }
    ASSERT_EQ(unbounded.characterCount(), expected) << "round " << round;
    ASSERT_EQ(unbounded.text(), text);
    ASSERT_EQ(capped.characterCount(), std::min(capacity, expected)) << "round " << round;
    ASSERT_EQ(icuClusterCount(capped.text()), capped.characterCount()) << "round " << round;
    ASSERT_TRUE(text.ends_with(capped.text()));
  }
}

TEST(OutputBuffer, ByteCeilingBoundsAnEndlessCluster) {
  OutputBuffer buffer(kOutputBufferCapacity, 4096);
  buffer.append("e");
  std::string marks;
  for (int i = 0; i < 1000; ++i) marks += "\u0301";  // one cluster, however long
  for (int i = 0; i < 50; ++i) buffer.append(marks);
  EXPECT_LE(buffer.text().size(), 4096u);
  EXPECT_TRUE(isValidUtf8(buffer.text()));
  EXPECT_EQ(buffer.characterCount(), icuClusterCount(buffer.text()));

  // Ordinary output afterwards is counted and capped as usual.
  buffer.append("\nTAMRIK_URL=http://h/\n");
  EXPECT_EQ(announcedConsoleAddress(buffer.text()), "http://h/");
}

}  // namespace
}  // namespace zvui
