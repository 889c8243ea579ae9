'use strict';
// The console page: a terminal bridged to the backend's shell, and the machine's vital signs.
(() => {
  const ACCENT = 'rgb(168, 245, 48)';
  const socketBase = (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host;

  // ---- terminal ---------------------------------------------------------------------------
  const term = new Terminal({
    allowProposedApi: false,
    cursorBlink: true,
    fontFamily: 'ui-monospace, "SF Mono", Menlo, "DejaVu Sans Mono", "Liberation Mono", monospace',
    fontSize: 13,
    lineHeight: 1.15,
    scrollback: 5000,
    theme: {
      background: '#000000',
      foreground: '#dcdcdc',
      cursor: ACCENT,
      cursorAccent: '#000000',
      selectionBackground: 'rgba(168, 245, 48, 0.28)',
      black: '#1a1a1a', brightBlack: '#5c5c5c',
      green: '#a8f530', brightGreen: '#c6ff6b',
    },
  });
  const fit = new FitAddon.FitAddon();
  term.loadAddon(fit);
  term.open(document.getElementById('terminal'));

  const termState = document.getElementById('term-state');
  const termLamp = document.getElementById('term-lamp');
  const encoder = new TextEncoder();
  let socket = null;
  let open = false;
  let backendGone = false;  // the backend itself has stopped: no new session can start
  let stateText = 'connecting';

  function setTermState(text, lamp) {
    stateText = text;
    showTermState();
    termLamp.className = 'lamp' + (lamp ? ' ' + lamp : '');
  }

  // Drawing: on the GPU where the web view gives us WebGL 2, else xterm's own DOM renderer.
  // Whether WebGL works is found out, not assumed: the add-on throws when it can make no
  // context, and reports a context lost for good later (driver reset, GPU process gone),
  // after which disposing it hands the terminal back to the DOM renderer.
  let renderer = 'dom';
  function setRenderer(name, why) {
    renderer = name;
    document.documentElement.dataset.renderer = name;
    document.documentElement.dataset.rendererWhy = why;
    showTermState();
  }
  function showTermState() { termState.textContent = stateText + ' \u00b7 ' + renderer; }
  function useWebgl() {
    if (typeof WebglAddon === 'undefined') return;
    let addon = null;
    try {
      addon = new WebglAddon.WebglAddon();
      term.loadAddon(addon);
    } catch (e) {
      if (addon) addon.dispose();
      setRenderer('dom', 'webgl failed: ' + e.message);
      return;
    }
    addon.onContextLoss(() => {
      addon.dispose();
      setRenderer('dom', 'webgl context lost');
    });
    setRenderer('webgl', '');
  }
  setRenderer('dom', 'no webgl add-on');
  useWebgl();

  function sendControl(message) {
    if (open) socket.send(JSON.stringify(message));
  }

  // Input goes out in slices, and only while the backend has acknowledged all but WINDOW
  // bytes of it, so a paste of any size reaches the shell whole and in order without
  // piling up in the backend.
  const SLICE = 64 * 1024;
  const WINDOW = 256 * 1024;
  let pending = [];
  let inFlight = 0;

  function pumpInput() {
    while (open && pending.length > 0 && inFlight < WINDOW) {
      const head = pending[0];
      const slice = head.length > SLICE ? head.subarray(0, SLICE) : head;
      if (slice === head) pending.shift(); else pending[0] = head.subarray(SLICE);
      socket.send(slice);
      inFlight += slice.length;
    }
  }

  function sendInput(bytes) {
    if (bytes.length === 0) return;
    pending.push(bytes);
    pumpInput();
  }

  function onControl(text) {
    let message = null;
    try { message = JSON.parse(text); } catch (e) { return; }
    if (message && message.type === 'ack' && Number.isSafeInteger(message.bytes) && message.bytes > 0) {
      inFlight = Math.max(0, inFlight - message.bytes);
      pumpInput();
    }
  }

  // Output goes to the terminal one batch at a time: what arrived while the last batch was
  // parsed goes in as one write (bounded by the backend's window more than by BATCH).
  // xterm.js yields to the browser between writes of a flood, and every yield may draw a
  // frame; fewer, larger writes parse faster and draw fewer frames nobody can read, while
  // an echo still goes in the moment it arrives. Each batch is acknowledged once parsed
  // (what is left unparsed, below, at once): the backend pauses the shell's output until
  // we say we have taken it.
  //
  // While plain lines flood in and the last batch was mostly left unparsed, the next one
  // waits up to FILL_MS for FILL bytes: each batch costs a scrollback's worth of parsing
  // however large it is, so a few large batches beat many small ones. The backend goes on
  // sending meanwhile, as what was left out is acknowledged already.
  const BATCH = 1024 * 1024;
  const FILL = 384 * 1024;
  const FILL_MS = 25;
  let inbox = [];
  let inboxSize = 0;
  let writing = false;
  let skipping = false;  // the last batch was mostly left unparsed
  let fillTimer = null;

  function receiveOutput(bytes) {
    inbox.push(bytes);
    inboxSize += bytes.length;
    if (!writing) writeBatch();
    else if (fillTimer !== null && inboxSize >= FILL) writeFilled();
  }

  function writeFilled() {
    clearTimeout(fillTimer);
    fillTimer = null;
    skipping = false;
    writeBatch();
  }

  function writeBatch() {
    if (inbox.length === 0) { writing = false; return; }
    writing = true;
    if (skipping && inboxSize < FILL) {
      if (fillTimer === null) fillTimer = setTimeout(writeFilled, FILL_MS);
      return;
    }
    let count = 1;
    let size = inbox[0].length;
    while (count < inbox.length && size + inbox[count].length <= BATCH) size += inbox[count++].length;
    let batch = inbox[0];
    if (count > 1) {
      batch = new Uint8Array(size);
      for (let i = 0, at = 0; i < count; at += inbox[i].length, ++i) batch.set(inbox[i], at);
    }
    inbox = inbox.slice(count);
    inboxSize -= size;
    const session = socket;
    const skip = unseenPrefix(batch);
    skipping = skip > size / 2;
    if (skip > 0) {
      batch = batch.subarray(skip);
      sendControl({ type: 'ack', bytes: skip });
    }
    term.write(batch, () => {
      if (session !== socket) return;  // a new session has started since
      sendControl({ type: 'ack', bytes: size - skip });
      writeBatch();
    });
  }

  // Output that would scroll out of the scrollback before it could ever be seen is not
  // parsed, as long as skipping it leaves the terminal exactly as parsing it would have.
  // That holds for a plain run at the start of a batch (printable text, tabs, CR and LF:
  // nothing that changes the terminal's state but the cursor; a UTF-8 C1 control ends it)
  // with more than `keep` line feeds after the cut, when the terminal is between escape
  // sequences and scrolls its whole screen. The cut keeps the CR LF it falls on, so the
  // cursor starts the rest at the left edge as it would have; within `rows` line feeds it
  // is on the bottom line either way, and the `scrollback + rows` line feeds after that
  // push every line written before out of the buffer. The scrollback and the screen end up
  // line for line the same, only sooner: a flood of plain lines costs a few thousand
  // parsed lines per batch, not all of them.
  // Returns how many bytes at the start of `batch` to leave out (0: parse it all).
  function unseenPrefix(batch) {
    const core = term._core;
    const handler = core && core._inputHandler;
    const buffer = core && core.buffer;
    if (!handler || !handler._parser || !handler._utf8Decoder || !buffer) return 0;
    if (handler._parser.currentState !== 0 || handler._utf8Decoder.interim[0] !== 0) return 0;
    if (buffer.scrollTop !== 0 || buffer.scrollBottom !== term.rows - 1) return 0;
    const keep = term.options.scrollback + 2 * term.rows;
    let feeds = 0;
    for (let i = 0; i < batch.length; ++i) {
      const b = batch[i];
      if (b === 0x0a) ++feeds;
      else if (b < 0x20 ? b !== 0x0d && b !== 0x09 : b === 0x7f || (b === 0xc2 && !(batch[i + 1] >= 0xa0))) break;
    }
    let cut = 0;
    for (let i = 0, left = feeds; left > keep; ++i) {
      if (batch[i] !== 0x0a) continue;
      --left;
      if (i > 0 && batch[i - 1] === 0x0d) cut = i - 1;
    }
    return cut;
  }

  // After the session's last output, never before it (only said once the socket is closed,
  // so nothing is acknowledged for it).
  function say(text) { receiveOutput(encoder.encode('\r\n\x1b[90m[' + text + ']\x1b[0m\r\n')); }

  function declareBackendGone() {
    backendGone = true;
    setTermState('backend stopped', 'off');
    say('the console backend has stopped \u2014 no new session can start');
  }

  // Whether anything still answers at our address: a shell that ended and a backend that
  // died look alike from one socket.
  function probeBackend(answer) {
    const probe = new WebSocket(socketBase + '/telemetry');
    let settled = false;
    const settle = (alive) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      answer(alive);
    };
    const timer = setTimeout(() => { probe.close(); settle(null); }, 5000);
    probe.onopen = () => { probe.close(); settle(true); };
    probe.onclose = () => settle(false);
  }

  function connectTerminal() {
    // A batch still waiting to fill belongs to the last session: not for the new screen.
    clearTimeout(fillTimer);
    fillTimer = null;
    setTermState('connecting', '');
    socket = new WebSocket(socketBase + '/term');
    socket.binaryType = 'arraybuffer';
    socket.onopen = () => {
      open = true;
      pending = [];
      inFlight = 0;
      inbox = [];
      inboxSize = 0;
      writing = false;
      skipping = false;
      setTermState(term.cols + '\u00d7' + term.rows, 'on');
      sendControl({ type: 'resize', cols: term.cols, rows: term.rows });
      term.focus();
    };
    socket.onmessage = (event) => {
      if (typeof event.data === 'string') { onControl(event.data); return; }
      receiveOutput(new Uint8Array(event.data));
    };
    socket.onclose = (event) => {
      const wasOpen = open;
      open = false;
      pending = [];
      inFlight = 0;
      setTermState('closed', 'off');
      // 1001: the backend said it is going away.
      if (event.code === 1001) { declareBackendGone(); return; }
      probeBackend((alive) => {
        if (alive === false) declareBackendGone();
        else say(wasOpen ? 'session ended \u2014 press Enter for a new one'
                         : 'cannot reach the backend \u2014 press Enter to retry');
      });
    };
  }

  term.onData((data) => {
    if (open) {
      sendInput(encoder.encode(data));
    } else if (!backendGone && socket && socket.readyState === WebSocket.CLOSED && data === '\r') {
      term.reset();
      connectTerminal();
    }
  });
  term.onBinary((data) => {
    if (!open) return;
    const bytes = new Uint8Array(data.length);
    for (let i = 0; i < data.length; ++i) bytes[i] = data.charCodeAt(i) & 0xff;
    sendInput(bytes);
  });
  term.onResize(({ cols, rows }) => {
    sendControl({ type: 'resize', cols, rows });
    if (open) setTermState(cols + '\u00d7' + rows, 'on');
  });

  const refit = () => { try { fit.fit(); } catch (e) { /* not laid out yet */ } };
  new ResizeObserver(refit).observe(document.querySelector('.terminal-host'));
  refit();
  connectTerminal();

  // ---- telemetry --------------------------------------------------------------------------
  const HISTORY = 90;
  const series = { cpu: [], mem: [], load: [], netin: [], netout: [] };
  const teleState = document.getElementById('tele-state');
  const teleLamp = document.getElementById('tele-lamp');

  const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
  function bytes(n) {
    let i = 0;
    while (n >= 1024 && i < units.length - 1) { n /= 1024; ++i; }
    return (i === 0 ? n.toFixed(0) : n.toFixed(n < 10 ? 1 : 0)) + ' ' + units[i];
  }
  function duration(seconds) {
    const d = Math.floor(seconds / 86400);
    const h = Math.floor((seconds % 86400) / 3600);
    const m = Math.floor((seconds % 3600) / 60);
    return d > 0 ? `${d}d ${h}h ${m}m` : h > 0 ? `${h}h ${m}m` : `${m}m`;
  }

  function setValue(id, text) {
    document.querySelector('#' + id + ' .metric-value').textContent = text;
  }

  function drawSpark(id, values, ceiling) {
    const canvas = document.querySelector('#' + id + ' canvas');
    const ratio = window.devicePixelRatio || 1;
    const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
    const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
    if (canvas.width !== width || canvas.height !== height) {
      canvas.width = width;
      canvas.height = height;
    }
    // Drawn by the CPU: the glow's blur on a GPU canvas cost the compositor more every
    // second than the whole sparkline is worth, and without a GPU it runs in software anyway.
    const g = canvas.getContext('2d', { willReadFrequently: true });
    g.clearRect(0, 0, width, height);
    if (values.length < 2) return;
    const top = Math.max(ceiling || 0, ...values) || 1;
    const step = width / (HISTORY - 1);
    const x0 = width - (values.length - 1) * step;
    const pad = 3 * ratio;
    const y = (v) => height - pad - (v / top) * (height - 2 * pad);
    g.beginPath();
    values.forEach((v, i) => (i === 0 ? g.moveTo(x0, y(v)) : g.lineTo(x0 + i * step, y(v))));
    g.lineWidth = 1.5 * ratio;
    g.strokeStyle = ACCENT;
    g.shadowColor = 'rgba(168, 245, 48, 0.65)';
    g.shadowBlur = 6 * ratio;
    g.stroke();
    g.shadowBlur = 0;
    g.lineTo(x0 + (values.length - 1) * step, height);
    g.lineTo(x0, height);
    g.closePath();
    const fill = g.createLinearGradient(0, 0, 0, height);
    fill.addColorStop(0, 'rgba(168, 245, 48, 0.22)');
    fill.addColorStop(1, 'rgba(168, 245, 48, 0)');
    g.fillStyle = fill;
    g.fill();
  }

  function push(list, value) {
    list.push(value);
    if (list.length > HISTORY) list.shift();
  }

  function record(s) {
    push(series.cpu, s.cpu * 100);
    push(series.mem, s.memTotal ? (s.memUsed / s.memTotal) * 100 : 0);
    push(series.load, s.load[0]);
    push(series.netin, s.netIn);
    push(series.netout, s.netOut);
  }

  let latest = null;
  function render() {
    if (!latest) return;
    const s = latest;
    setValue('m-cpu', (s.cpu * 100).toFixed(1) + ' %');
    setValue('m-mem', bytes(s.memUsed) + ' / ' + bytes(s.memTotal));
    setValue('m-load', s.load.map((v) => v.toFixed(2)).join('  '));
    setValue('m-netin', bytes(s.netIn) + '/s');
    setValue('m-netout', bytes(s.netOut) + '/s');
    document.getElementById('f-procs').textContent = String(s.procs);
    document.getElementById('f-uptime').textContent = duration(s.uptime);
    drawSpark('m-cpu', series.cpu, 100);
    drawSpark('m-mem', series.mem, 100);
    drawSpark('m-load', series.load, 1);
    drawSpark('m-netin', series.netin, 1024);
    drawSpark('m-netout', series.netout, 1024);
  }

  function connectTelemetry() {
    const feed = new WebSocket(socketBase + '/telemetry');
    feed.onopen = () => { teleState.textContent = 'live \u00b7 1 s'; teleLamp.className = 'lamp on'; };
    feed.onmessage = (event) => {
      const message = JSON.parse(event.data);
      if (message.type === 'history') {
        for (const key of Object.keys(series)) series[key].length = 0;
        message.samples.forEach(record);
        latest = message.samples[message.samples.length - 1] || null;
      } else if (message.type === 'sample') {
        record(message);
        latest = message;
      }
      render();
    };
    feed.onclose = () => {
      teleState.textContent = 'offline';
      teleLamp.className = 'lamp off';
      if (!backendGone) setTimeout(connectTelemetry, 2000);
    };
  }
  window.addEventListener('resize', render);
  connectTelemetry();
})();
