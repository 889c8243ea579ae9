// Where the console page spends a big output, timed from inside the page. The body of an
// async function, run in the loaded page by console_snapshot:
//   console_snapshot "$URL" shot.png 3000 1300 900 "$(cat page_profile.js)"
// It runs `seq 1 2000000` in the page's own terminal and returns JSON: the wall time, the
// time spent parsing (xterm's input handler), drawing (animation frames), starved (every
// write parsed, waiting for the next frame from the backend), the writes and the
// acknowledgements; then how long Ctrl-C takes to bring a prompt back after two seconds of
// `yes` (ctrlCMs). It reaches into xterm.js internals; a profiling aid, not a test.
const COMMAND = 'seq 1 2000000';
const MARKER = 'SEQ-DONE';
const now = () => performance.now();
const stats = {
  writes: 0, bytes: 0, biggestWrite: 0, parseMs: 0, parses: 0, drawMs: 0, draws: 0,
  starvedMs: 0, starvedGaps: 0, acks: 0, renderer: document.documentElement.dataset.renderer,
};

let socket = null;
const send = WebSocket.prototype.send;
WebSocket.prototype.send = function (data) {
  if (this.url.endsWith('/term')) {
    socket = this;
    if (typeof data === 'string' && data.includes('"ack"')) stats.acks++;
  }
  return send.call(this, data);
};

let term = null;
let pending = 0;
let starvedSince = null;
let tail = '';
let running = false;
let finish = null;
const write = Terminal.prototype.write;
Terminal.prototype.write = function (data, callback) {
  term = this;
  if (!running || typeof data === 'string') return write.call(this, data, callback);
  stats.writes++;
  stats.bytes += data.length;
  stats.biggestWrite = Math.max(stats.biggestWrite, data.length);
  if (pending === 0 && starvedSince !== null) {
    stats.starvedMs += now() - starvedSince;
    stats.starvedGaps++;
  }
  pending++;
  const text = tail + String.fromCharCode.apply(null, data.subarray(Math.max(0, data.length - 32)));
  const last = text.includes(MARKER);
  tail = text.slice(-MARKER.length);
  const target = globalThis.PROFILE_NO_PARSE ? (d, cb) => setTimeout(cb) : write.bind(this);
  return target(data, () => {
    if (callback) callback();
    if (--pending === 0) starvedSince = now();
    if (last && finish) finish();
  });
};

const frame = window.requestAnimationFrame;
window.requestAnimationFrame = (callback) => frame.call(window, (t) => {
  const start = now();
  try { callback(t); } finally { stats.drawMs += now() - start; stats.draws++; }
});

// Typing one key hands us the socket, its echo the terminal.
const textarea = document.querySelector('.xterm-helper-textarea');
textarea.dispatchEvent(new InputEvent('input', { data: ' ', inputType: 'insertText' }));
const deadline = now() + 10000;
while ((!socket || !term) && now() < deadline) await new Promise((r) => setTimeout(r, 20));
if (!socket || !term) return JSON.stringify({ error: 'no terminal' });

// Knobs, set before this script: PROFILE_RENDERER = 'dom' drops the WebGL add-on first, as
// after a lost context, to compare the renderers in one environment; PROFILE_NO_BLINK stops
// the cursor blinking; PROFILE_NO_PARSE acknowledges output without parsing it (the
// transport alone).
if (globalThis.PROFILE_RENDERER === 'dom') {
  for (const loaded of term._addonManager._addons) {
    if (loaded.instance instanceof WebglAddon.WebglAddon) loaded.instance.dispose();
  }
  stats.renderer = 'dom (webgl dropped)';
}
if (globalThis.PROFILE_NO_BLINK) term.options.cursorBlink = false;
const handler = term._core._inputHandler;
const parse = handler.parse;
handler.parse = function (data, promiseResult) {
  const start = now();
  try { return parse.call(this, data, promiseResult); } finally {
    stats.parseMs += now() - start;
    stats.parses++;
  }
};

const done = new Promise((resolve) => { finish = resolve; });
running = true;
const start = now();
socket.send(new TextEncoder().encode('\x15' + COMMAND + '; echo SEQ-DO""NE\r'));
await done;
stats.wallMs = now() - start;
await new Promise((r) => frame.call(window, () => r()));
// Then `yes` for two seconds and Ctrl-C: how long until a command typed after it has been
// parsed, with the output in flight still to get through.
running = false;
const yesMarker = 'BACK-NOW';
let back = null;
const seen = new Promise((resolve) => { back = resolve; });
const plainWrite = Terminal.prototype.write;
Terminal.prototype.write = function (data, callback) {
  const tailText = typeof data === 'string' ? data
    : String.fromCharCode.apply(null, data.subarray(Math.max(0, data.length - 64)));
  return plainWrite.call(this, data, () => {
    if (callback) callback();
    if (tailText.includes(yesMarker)) back();
  });
};
socket.send(new TextEncoder().encode('yes\r'));
await new Promise((r) => setTimeout(r, 2000));
const interrupt = now();
socket.send(new TextEncoder().encode('\x03'));
socket.send(new TextEncoder().encode('echo BACK-""NOW\r'));
await seen;
stats.ctrlCMs = now() - interrupt;
stats.cols = term.cols;
stats.rows = term.rows;
stats.otherMs = stats.wallMs - stats.parseMs - stats.drawMs - stats.starvedMs;
for (const key of Object.keys(stats)) {
  if (typeof stats[key] === 'number' && !Number.isInteger(stats[key])) {
    stats[key] = Math.round(stats[key]);
  }
}
return JSON.stringify(stats);
