// However the backend's bytes are cut into reads, the address accepted is the one the
// announcement line carries, except where a read ends inside that line: the unterminated
// tail is a line too, and a tail whose partial address is non-empty is accepted as it is.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "MacTamrikApp/AppDelegate.h"
#include "backend/Utf8Decoder.h"
#include "core/support/FakeBackend.h"
#include "core/support/RecordingView.h"
#include "core/support/ScopedEnvironment.h"
#include "core/support/TempDir.h"
#include "support/TestMainLoop.h"

namespace zvui {
namespace {

class Generator {
 public:
  explicit Generator(unsigned seed) : random_(seed) {}

  std::size_t below(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
  }

  template <typename T>
  const T& pick(const std::vector<T>& from) {
    return from[below(from.size())];
  }

  // A line that is never an announcement: it starts with '#', and may hold the prefix later.
  std::string noiseLine() {
    static const std::vector<std::string> pieces = {"boot ",
                                                    "ok",
                                                    " \t",
                                                    "\u00E9",
                                                    "\u20AC",
                                                    "\U0001F600",
                                                    "e\u0301",
                                                    "TAMRIK_URL=",
                                                    "TAMRIK_UR",
                                                    std::string("\0", 1),
                                                    "\U0001F1FA\U0001F1F8",
                                                    "\u200D"};
    std::string line = "#";
    for (std::size_t k = below(12); k > 0; --k) line += pick(pieces);
    return line + separator();
  }

  std::string separator() {
    static const std::vector<std::string> separators = {"\n", "\r\n",   "\r",     "\v",
                                                        "\f", "\u0085", "\u2028", "\u2029"};
    return pick(separators);
  }

  std::string address() {
    static const std::vector<std::string> paths = {"", "console", "a/b", "index.html"};
    return "http://127.0.0.1:" + std::to_string(1024 + below(60000)) + "/" + pick(paths);
  }

  std::string blanks() {
    static const std::vector<std::string> blanks = {"", " ", "\t", "  \t", "\u00A0"};
    return pick(blanks);
  }

  // Cuts `bytes` into blocks of 1 to `longest` bytes, anywhere, also inside a character.
  std::vector<std::size_t> cuts(std::size_t size, std::size_t longest) {
    std::vector<std::size_t> ends;
    for (std::size_t at = 0; at < size;) {
      at = std::min(size, at + 1 + below(longest));
      ends.push_back(at);
    }
    return ends;
  }

 private:
  std::mt19937 random_;
};

std::string trimSpaces(std::string_view text) {
  const auto isBlank = [](std::string_view rest) {
    if (rest.starts_with(" ") || rest.starts_with("\t")) return std::size_t{1};
    if (rest.starts_with("\u00A0")) return std::size_t{2};
    return std::size_t{0};
  };
  while (std::size_t n = isBlank(text)) text.remove_prefix(n);
  for (bool trimmed = true; trimmed;) {
    trimmed = false;
    if (text.ends_with(" ") || text.ends_with("\t")) {
      text.remove_suffix(1);
      trimmed = true;
    } else if (text.ends_with("\u00A0")) {
      text.remove_suffix(2);
      trimmed = true;
    }
  }
  return std::string(text);
}

TEST(WatcherProperty, AcceptedAddressDoesNotDependOnHowOutputIsCut) {
  const test::TempDir config;
  const test::ScopedEnvironment xdg{"XDG_CONFIG_HOME", config.path().string()};
  constexpr std::string_view kPrefix = "TAMRIK_URL=";

  for (unsigned seed = 1; seed <= 400; ++seed) {
    Generator generate(seed);
    std::string output;
    for (std::size_t k = generate.below(6); k > 0; --k) output += generate.noiseLine();
    const std::string address = generate.address();
    const std::size_t lineStart = output.size();
    output += std::string(kPrefix) + generate.blanks() + address + generate.blanks();
    const std::size_t lineEnd = output.size();
    output += generate.separator();
    for (std::size_t k = generate.below(4); k > 0; --k) output += generate.noiseLine();

    // What the cut predicts: the first read that ends inside the line, after the prefix,
    // with something other than blanks after the prefix, decides; else the whole line.
    const auto ends = generate.cuts(output.size(), 1 + generate.below(40));
    std::string expected = address;
    for (std::size_t end : ends) {
      if (end <= lineStart + kPrefix.size() || end >= lineEnd) continue;
      // Bytes of a character the read cut through wait for the next read.
      while ((static_cast<unsigned char>(output[end]) & 0xC0) == 0x80) --end;
      const std::string partial = trimSpaces(std::string_view(output).substr(
          lineStart + kPrefix.size(), end - lineStart - kPrefix.size()));
      if (!partial.empty()) {
        expected = partial;
        break;
      }
    }

    test::RecordingView view;
    test::FakeLauncher launcher;
    test::TestMainLoop loop;
    auto app = std::make_shared<AppDelegate>(view, launcher, loop);
    app->applicationDidFinishLaunching();
    Utf8Decoder decoder;
    std::size_t at = 0;
    for (std::size_t end : ends) {
      std::string block = decoder.decode(std::string_view(output).substr(at, end - at));
      at = end;
      if (!block.empty()) launcher.process->write(std::move(block));
    }

    ASSERT_EQ(view.loads().size(), 1u) << "seed " << seed;
    ASSERT_EQ(view.loads().front(), expected + " 60000ms") << "seed " << seed;
  }
}

}  // namespace
}  // namespace zvui
