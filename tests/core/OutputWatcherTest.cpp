#include <gtest/gtest.h>
#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <random>
#include <string>
#include <vector>

#include "backend/OutputStage.h"
#include "backend/OutputWatcher.h"
#include "support/Utf8Decoder.h"
#include "support/ControllerFakes.h"

namespace zvui {
namespace {

using namespace std::chrono_literals;

// Which address a buffer announces; "" for none.
struct AnnouncementRow {
  const char* name;
  std::string buffer;
  std::string address;
};
using A = AnnouncementRow;

class Announcement : public ::testing::TestWithParam<AnnouncementRow> {};

TEST_P(Announcement, FirstAnnouncementLineDecides) {
  EXPECT_EQ(announcedConsoleAddress(GetParam().buffer).value_or(""), GetParam().address);
}

std::string line(const std::string& value) { return "TAMRIK_URL=" + value + "\n"; }

INSTANTIATE_TEST_SUITE_P(
    Lines, Announcement,
    ::testing::Values(A{"after_other_lines", "a\nb\n" + line("http://h:1/") + "c", "http://h:1/"},
                      A{"unterminated_tail", "log\nTAMRIK_URL=http://h:1/pa", "http://h:1/pa"},
                      A{"space_before_prefix", " " + line("http://h/"), ""},
                      A{"lower_case_prefix", "tamrik_url=http://h/\n", ""},
                      A{"inside_then_at_start", "x" + line("http://a/") + line("b"), "b"},
                      A{"crlf_lines", "boot\r\nTAMRIK_URL=http://h/\r\n", "http://h/"},
                      A{"tab_is_not_a_separator", "boot\t" + line("http://h/"), ""},
                      A{"first_only", line("http://a/") + line("http://b/"), "http://a/"},
                      A{"rejected_first_hides_later", line("http://a b/") + line("ok"), ""}),
    test::RowName);

INSTANTIATE_TEST_SUITE_P(
    Values, Announcement,
    ::testing::Values(A{"blanks_trimmed", line(" \t\u00A0\u3000h\u2003\t"), "h"},
                      A{"zero_width_space_stays", line("\u200Bh"), ""},
                      A{"prefix_repeated", line("http://h/TAMRIK_URL=x"), "http://h/x"},
                      A{"removal_is_one_pass", line("TAMRIK_TAMRIK_URL=URL=x"), "TAMRIK_URL=x"},
                      A{"bare_word", line("console"), "console"}, A{"empty", line(""), ""},
                      A{"only_blanks", line("  \t "), ""}, A{"space_inside", line("a b"), ""},
                      A{"nul_inside", line(std::string("h\0", 2)), ""},
                      A{"non_ascii", line("http://b\u00FCcher/"), ""},
                      A{"ipv6_host", line("http://[::1]:8080/"), "http://[::1]:8080/"}),
    test::RowName);

// The cap, in user-perceived characters, for text appended in pieces. Every row fills it.
struct CapRow {
  const char* name;
  std::size_t capacity;
  std::vector<std::string> pieces;
  std::string kept;
};
using C = CapRow;

class Cap : public ::testing::TestWithParam<CapRow> {};

TEST_P(Cap, KeepsExactlyTheLastCharacters) {
  OutputBuffer buffer(GetParam().capacity);
  for (const auto& piece : GetParam().pieces) buffer.append(piece);
  EXPECT_EQ(buffer.text(), GetParam().kept);
  EXPECT_EQ(buffer.characterCount(), GetParam().capacity);
}

// One cluster of 81 bytes.
const std::string kFortyMarks = [] {
  std::string marks;
  for (int i = 0; i < 40; ++i) marks += "\u0301";
  return marks;
}();

INSTANTIATE_TEST_SUITE_P(
    Rows, Cap,
    ::testing::Values(C{"exactly_full_is_kept", 5, {"abc", "de"}, "abcde"},
                      C{"one_more_drops_one", 5, {"abc", "def"}, "bcdef"},
                      C{"crlf_is_one", 3, {"a\r\nb"}, "a\r\nb"},
                      C{"lfcr_is_two", 3, {"a\n\rb"}, "\n\rb"},
                      C{"crlf_across_blocks", 3, {"a\r", "\nb"}, "a\r\nb"},
                      C{"crlf_dropped_whole", 2, {"\r\nab"}, "ab"},
                      C{"mark_joins_across_blocks", 2, {"xe", "\u0301"}, "xe\u0301"},
                      C{"cut_keeps_clusters", 2, {"xe\u0301y"}, "e\u0301y"},
                      C{"long_block_keeps_its_tail", 4, {"ab", std::string(40, '.') + "\r\nxyz"},
                        "\r\nxyz"},
                      C{"long_block_ending_in_one_long_cluster", 2,
                        {std::string(30, 'q') + "e" + kFortyMarks + "y"},
                        "e" + kFortyMarks + "y"}),
    test::RowName);

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

// However the backend's bytes are cut into reads and handed over: the decoder gives the same
// text, the capped buffer counts clusters as ICU does and keeps the tail, output that waited
// in a condensing stage leaves the buffer exactly as the whole output does, and the console is
// loaded once, from the address the announcement line carries, even when a read ends inside
// that line.
TEST(OutputPath, ResultDoesNotDependOnHowOutputIsCut) {
  // No line separators, so noise lines (which start with '#') never announce.
  const std::vector<std::string> noise = {
      "ok ",    "\t",       "e\u0301",      "\U0001F1FA",  "\U0001F469\u200D\U0001F467", "\u1100",
      "\u1161", "\u0600",   "\u0915\u094D", "TAMRIK_URL=", std::string("\0", 1),         "\x80",
      "\xFF",   "\xE2\x82", "\xF0\x9F",     "\xED\xA0\x80", "..........", "abcdefghij"};
  const std::vector<std::string> separators = {"\n",   "\r\n",   "\r",     "\v",    "\f",
                                               "\u0085", "\u2028", "\u2029", "\n",   "\n"};
  const std::vector<std::string> blanks = {"", " ", "\t", " \t", "\u00A0"};
  std::mt19937 random(20261206);
  const auto any = [&](const std::vector<std::string>& from) {
    return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
  };
  const auto below = [&](std::size_t n) { return random() % n; };
  const auto noiseLines = [&](std::size_t lines) {
    std::string text;
    for (; lines > 0; --lines) {
      text += "#";
      for (std::size_t k = below(12); k > 0; --k) text += any(noise);
      text += any(separators);
    }
    return text;
  };

  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::string output = noiseLines(below(12)) + "TAMRIK_URL=";
    const std::string address = "http://127.0.0.1:" + std::to_string(1024 + below(60000)) + "/";
    output += any(blanks) + address;
    output += any(blanks);
    output += any(separators) + noiseLines(below(12));

    test::ControllerRig rig;
    rig.launch();
    const std::size_t capacity = 1 + below(30);
    OutputBuffer capped(capacity, 8 * capacity);
    OutputBuffer viaStage(capacity, 8 * capacity);
    OutputStage stage(capacity, 8 * capacity);
    Utf8Decoder decoder;
    Utf8Decoder stageDecoder;
    std::string decoded;
    const auto handOver = [&](bool ending) {
      stage.condense(true);
      std::string block = stage.take(stageDecoder);
      if (ending) block += stageDecoder.finish();
      ASSERT_TRUE(isValidUtf8(block));
      viaStage.append(block);
      if (!block.empty()) rig.write(block);
    };
    const std::size_t longest = 1 + below(40);
    for (std::size_t at = 0, end = 0; at < output.size(); at = end) {
      end = std::min(output.size(), at + 1 + below(longest));
      const std::string_view piece = std::string_view(output).substr(at, end - at);
      const std::string block = decoder.decode(piece);
      ASSERT_TRUE(isValidUtf8(block));
      decoded += block;
      capped.append(block);
      piece.copy(stage.room(piece.size()).data(), piece.size());
      stage.added(piece.size());
      if (below(4) == 0) handOver(false);
    }
    handOver(true);
    const std::string last = decoder.finish();
    decoded += last;
    capped.append(last);
    ASSERT_EQ(decoded, toValidUtf8(output));
    ASSERT_EQ(capped.characterCount(), std::min(capped.capacity(), icuClusterCount(decoded)));
    ASSERT_EQ(icuClusterCount(capped.text()), capped.characterCount());
    ASSERT_TRUE(decoded.ends_with(capped.text()));
    ASSERT_EQ(viaStage.text(), capped.text());
    ASSERT_EQ(rig.view.loads(), std::vector<std::string>{address});
  }
}

// What the console is loaded from when the backend's output comes in the blocks given, with
// no pause between them.
struct BlocksRow {
  const char* name;
  std::vector<std::string> blocks;
  std::vector<std::string> loads;
};

class AnnouncementInBlocks : public ::testing::TestWithParam<BlocksRow> {};

TEST_P(AnnouncementInBlocks, EveryLineIsExaminedBeforeTheCapDropsIt) {
  test::ControllerRig rig;
  rig.launch();
  for (const auto& block : GetParam().blocks) rig.write(block);
  EXPECT_EQ(rig.view.loads(), GetParam().loads);
  EXPECT_LE(rig.app->outputBuffer().size(), kOutputBufferCapacity * 4);
}

std::string logLines(std::size_t count) {
  std::string text;
  for (std::size_t n = 0; n < count; ++n) text += "start-up log " + std::to_string(n) + "\n";
  return text;
}

const std::string kUrl = "http://127.0.0.1:43215/?token=abc";

INSTANTIATE_TEST_SUITE_P(
    Rows, AnnouncementInBlocks,
    ::testing::Values(
        BlocksRow{"then_12000_more", {line(kUrl) + std::string(12000, 'x')}, {kUrl}},
        BlocksRow{"then_1000000_more", {line(kUrl) + std::string(1000000, 'x')}, {kUrl}},
        BlocksRow{"then_2000_log_lines", {"boot\n" + line(kUrl) + logLines(2000)}, {kUrl}},
        BlocksRow{"after_a_full_buffer", {std::string(12000, '.'), "\n" + line(kUrl)}, {kUrl}},
        // The first acceptable line still wins, also when the cap drops both at once.
        BlocksRow{"second_after_long_log",
                  {line(kUrl) + logLines(2000) + line("http://b/") + logLines(10)},
                  {kUrl}},
        BlocksRow{"none", {logLines(5000)}, {}}),
    test::RowName);

}  // namespace
}  // namespace zvui
