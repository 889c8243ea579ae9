// The reference backend's own console page in a web view, against its real shell: what a
// flood leaves in the terminal, compared line by line with a second terminal in the same
// page that is handed every byte the socket brought and parses all of it.
#include <gtest/gtest.h>

#include "support/ConsoleClient.h"
#include "support/GuiSupport.h"

namespace zvui {
namespace {

using namespace std::chrono_literals;
using test::iterateUntil;

// The body of an async function run in the page. It takes the page's terminal and socket
// (typing a space hands over both), feeds a plain xterm.js terminal the same bytes, runs
// each command, and returns "" or where the two first differ.
constexpr const char* kScript = R"JS(
const commands = JSON.parse(list);
let term = null, socket = null, parsed = 0;
const send = WebSocket.prototype.send;
WebSocket.prototype.send = function (data) { if (this.url.endsWith('/term')) socket = this; return send.call(this, data); };
const write = Terminal.prototype.write;
Terminal.prototype.write = function (data, callback) { term = this; return write.call(this, data, callback); };
const pause = (ms) => new Promise((r) => setTimeout(r, ms));
const until = async (done, ms) => { const end = Date.now() + ms; while (!done() && Date.now() < end) await pause(50); return done(); };
const input = document.querySelector('.xterm-helper-textarea');
input.dispatchEvent(new InputEvent('input', { data: ' ', inputType: 'insertText' }));
if (!await until(() => socket && term, 20000)) return 'no terminal';
const ref = new Terminal({ cols: term.cols, rows: term.rows, scrollback: term.options.scrollback });
const onmessage = socket.onmessage;
socket.onmessage = (event) => { if (typeof event.data !== 'string') ref.write(new Uint8Array(event.data)); onmessage(event); };
const handler = term._core._inputHandler, parse = handler.parse;
handler.parse = function (data, promise) { parsed += data.length; return parse.call(this, data, promise); };
const dump = (t) => {
  const b = t.buffer.active, lines = [`${b.type} cursor ${b.cursorX},${b.cursorY} base ${b.baseY} ${t.cols}x${t.rows}`];
  for (let y = 0; y < b.length; ++y) {
    const line = b.getLine(y), cell = line.getCell(0);
    lines.push(`${y}: ${line.isWrapped ? '+' : ''}${cell ? cell.getFgColor() : ''}|${line.translateToString(true)}`);
  }
  return lines;
};
const differ = () => {
  const a = dump(term), b = dump(ref);
  for (let i = 0; i < Math.max(a.length, b.length); ++i) if (a[i] !== b[i]) return `page "${a[i]}", full parse "${b[i]}"`;
  return '';
};
let received = 0;
for (const [i, command] of commands.entries()) {
  const before = parsed;
  socket.send(new TextEncoder().encode(`${command}; echo DO""NE-${i}\r`));
  const done = () => dump(ref).some((l) => l.includes(`DONE-${i}`)) && differ() === '';
  if (!await until(done, 60000)) return `${command}: ${differ() || 'never finished'}`;
  if (i === 0 && parsed - before > 400000) return `${command}: parsed all ${parsed - before} bytes`;
}
return '';
)JS";

// Commands for a POSIX shell, each flooding well past the scrollback. The first is plain
// lines only, most of which the page must not have parsed.
constexpr const char* kCommands = R"([
  "seq 1 60000",
  "seq 20000; printf '\\033[1;31mred\\033[0m\\n'; seq 20000",
  "stty -onlcr; seq 20000; stty onlcr",
  "yes 0123456789abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz | head -n 20000",
  "seq 20000; printf 'a\\302\\205b\\n'; yes 'gr\\303\\266\\303\\237e \\346\\227\\245\\346\\234\\254' | head -n 20000",
  "printf '\\033[3;8r'; seq 20000; printf '\\033[r'",
  "printf '\\033[?1049h'; seq 20000; printf '\\033[?1049l'",
  "seq 20000 | sed 's/$/\\tx\\ry/'"
])";

TEST(ReferenceConsolePage, FloodsLeaveTheTerminalAsAFullParseWould) {
  auto app = test::application();
  const test::TempDir home;
  // A plain shell with no start-up files, so the prompt and the timing are the test's own.
  auto backend = tamrik::test::BackendProcess::start(
      MACTAMRIK_BACKEND_PATH, {{"TAMRIK_PORT", "0"}, {"TAMRIK_APP_MODE", "1"},
                               {"SHELL", "/bin/sh"}, {"HOME", home.path().string()}, {"ENV", std::nullopt}});
  ASSERT_TRUE(backend);
  const auto announced = tamrik::test::parseAnnouncement(backend->readLine(30s));
  ASSERT_TRUE(announced);

  Gtk::Window window;
  window.set_default_size(900, 700);
  auto* view = WEBKIT_WEB_VIEW(webkit_web_view_new());
  window.set_child(*Glib::wrap(GTK_WIDGET(view)));
  window.present();
  int loaded = 0;
  test::countFinishedLoads(view, loaded);
  webkit_web_view_load_uri(view, announced->url.c_str());
  ASSERT_TRUE(iterateUntil([&] { return loaded > 0; }, 60s));

  struct Answer { bool done = false; std::string text = "script failed"; } answer;
  const auto finished = [](GObject* source, GAsyncResult* result, gpointer data) {
    GError* failure = nullptr;
    const auto value = GObjectPtr<JSCValue>::adopt(
        webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source), result, &failure));
    const GlibError error(failure);
    auto& out = *static_cast<Answer*>(data);
    out.text = value ? GlibString(jsc_value_to_string(value.get())).get() : error.get()->message;
    out.done = true;
  };
  webkit_web_view_call_async_javascript_function(view, kScript, -1, g_variant_new_parsed("{'list': <%s>}", kCommands),
                                                 nullptr, nullptr, nullptr, finished, &answer);
  ASSERT_TRUE(iterateUntil([&] { return answer.done; }, 110s));
  EXPECT_EQ(answer.text, "");
  window.unset_child();
  window.destroy();
}

}  // namespace
}  // namespace zvui
