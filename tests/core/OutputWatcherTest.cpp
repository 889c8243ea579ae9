#include <gtest/gtest.h>
#include <unicode/brkiter.h>

#include <random>

#include "backend/OutputStage.h"
#include "support/ControllerFakes.h"
#include "support/Utf8Decoder.h"

namespace zvui {
namespace {

using test::Strings;
using namespace std::string_literals;
using Pairs = std::initializer_list<std::pair<std::string, std::string>>;

std::string line(const std::string& value) { return "TAMRIK_URL=" + value + "\n"; }

// Which address a buffer announces; "" for none.
TEST(Announcement, FirstAnnouncementLineDecides) {
  for (const auto& [buffer, address] :
       Pairs{{"log\nTAMRIK_URL=http://h:1/pa", "http://h:1/pa"},
             {"x" + line("http://a/") + line("b"), "b"},
             {"boot\t" + line("http://h/"), ""},  // a tab ends no line
             {line("http://a/") + line("http://b/"), "http://a/"},
             {line("http://a b/") + line("ok"), ""},  // a rejected first one hides the rest
             {line(" \t\u00A0\u3000h\u2003\t"), "h"},
             {line("\u200Bh"), ""},                              // a zero-width space is not blank
             {line("TAMRIK_TAMRIK_URL=URL=x"), "TAMRIK_URL=x"},  // the prefix goes in one pass
             {line("console"), "console"},
             {line("  \t "), ""},
             {line("h\0"s), ""},
             {line("http://b\u00FCcher/"), ""},
             {line("http://[::1]:8080/"), "http://[::1]:8080/"}}) {
    EXPECT_EQ(announcedConsoleAddress(buffer).value_or(""), address) << buffer;
  }
}

std::size_t icuClusterCount(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<icu::BreakIterator> clusters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  clusters->setText(icu::UnicodeString::fromUTF8(text));
  std::size_t count = 0;
  for (clusters->first(); clusters->next() != icu::BreakIterator::DONE;) ++count;
  return count;
}

// However the output is cut and handed over: the same decoded text, a capped tail of ICU's
// clusters, the same buffer via the condensing stage, and one load from the announced address.
TEST(OutputPath, ResultDoesNotDependOnHowOutputIsCut) {
  // No line separators, so noise lines (which start with '#') never announce.
  const Strings noise = {
      "ok ",          "\t",         "e\u0301",   "\U0001F1FA",   "\U0001F469\u200D\U0001F467",
      "\u1100",       "\u1161",     "\u0600",    "\u0915\u094D", "TAMRIK_URL=",
      "\0"s,          "\x80",       "\xFF",      "\xE2\x82",     "\xF0\x9F",
      "\xED\xA0\x80", "..........", "abcdefghij"};
  const Strings separators = {"\n", "\r\n", "\r", "\v", "\f", "\u0085", "\u2028", "\u2029"};
  const Strings blanks = {"", " ", "\t", " \t", "\u00A0"};
  std::mt19937 random(20261206);
  const auto below = [&](std::size_t n) { return random() % n; };
  const auto any = [&](const Strings& from) { return from[below(from.size())]; };
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
    const std::string address = "http://127.0.0.1:" + std::to_string(1024 + below(60000)) + "/";
    std::string output = noiseLines(below(12)) + "TAMRIK_URL=";
    output += any(blanks) + address;  // each draw in a statement of its own, for a fixed order
    output += any(blanks);
    output += any(separators) + noiseLines(below(12));
    test::ControllerRig rig;
    rig.launch();
    const std::size_t capacity = 1 + below(30), longest = 1 + below(40);
    OutputBuffer capped(capacity, 8 * capacity), viaStage(capacity, 8 * capacity);
    OutputStage stage(capacity, 8 * capacity);
    Utf8Decoder decoder, stageDecoder;
    std::string decoded;
    const auto handOver = [&](bool ending) {
      stage.condense(true);
      std::string block = stage.take(stageDecoder);
      if (ending) block += stageDecoder.finish();
      ASSERT_TRUE(isValidUtf8(block));
      viaStage.append(block);
      if (!block.empty()) rig.write(block);
    };
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
    ASSERT_EQ(rig.view.loads, Strings{address});
  }
}

// Output in blocks with no pause between them: every line is examined before the cap drops it.
TEST(AnnouncementInBlocks, EveryLineIsExaminedBeforeTheCapDropsIt) {
  std::string log;
  for (int n = 0; n < 2000; ++n) log += "start-up log " + std::to_string(n) + "\n";
  const std::string url = "http://127.0.0.1:43215/?token=abc";
  const struct {
    Strings blocks, loads;
  } rows[] = {{{line(url) + std::string(1000000, 'x')}, {url}},
              {{std::string(12000, '.'), "\n" + line(url)}, {url}},
              {{line(url) + log + line("http://b/") + log}, {url}},
              {{line("not a url") + line(url)}, {}}};
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
    test::ControllerRig rig;
    rig.launch();
    for (const auto& block : row.blocks) rig.write(block);
    EXPECT_EQ(rig.view.loads, row.loads);
    EXPECT_LE(rig.app->outputBuffer().size(), kOutputBufferCapacity * 4);
  }
}

}  // namespace
}  // namespace zvui
