#!/usr/bin/env python3
"""Whole-app output race: ZVui's console (the app with MacTamrikBackend) against a VTE
terminal, same grid, same command, timed inside the shell, alternating runs, medians.

Also runs mactamrik_console_bench for keystroke echo and Ctrl-C, times the same command on a
PTY drained by a plain reader (the floor), asks a web view which renderer the page picks
here, and records the load average around every run.

Run on a display with a real private bus, e.g.

    dbus-run-session -- xvfb-run -a -s "-screen 0 1920x1200x24" \\
        python3 bench/reference-backend/output_vs_vte.py --prefix _install \\
        --console-bench build-rel/bench/reference-backend/mactamrik_console_bench \\
        --snapshot build-rel/bench/reference-backend/console_snapshot \\
        --write bench/reference-backend/RESULTS.md

A window manager is started (openbox) unless one is named with --wm none, so windows get
the sizes a user would see.
"""

import argparse
import json
import os
import pty
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

MARK_BEGIN = "<!-- output-vs-vte:begin -->"
MARK_END = "<!-- output-vs-vte:end -->"


def loadavg():
    return float(Path("/proc/loadavg").read_text().split()[0])


def xdotool(*args, timeout=10):
    done = subprocess.run(["xdotool", *map(str, args)], capture_output=True, text=True,
                          timeout=timeout)
    return done.stdout.strip()


def wait_for(predicate, timeout, step=0.05):
    """Polls `predicate` until it returns something truthy or the deadline passes."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


def read_file(path):
    try:
        text = path.read_text().strip()
    except FileNotFoundError:
        return ""
    return text


class Terminal:
    """One terminal window: started, typed into, asked its grid, closed."""

    def __init__(self, argv, env, work):
        self.work = work
        self.proc = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
        self.window = wait_for(self._find_window, 60, 0.2)
        if not self.window:
            self.close()
            raise RuntimeError(f"no window for {argv[0]}")

    def _find_window(self):
        found = xdotool("search", "--onlyvisible", "--pid", self.proc.pid).split()
        return found[-1] if found else None

    def type(self, text):
        # Real key events to the focused window: toolkits ignore ones sent to a window.
        xdotool("windowactivate", "--sync", self.window)
        xdotool("type", "--delay", "2", "--", text)
        xdotool("key", "Return")

    def run(self, command, out, timeout):
        """Types `command` (which writes `out`) and waits for `out` to be written."""
        path = self.work / out
        path.unlink(missing_ok=True)
        tmp = self.work / (out + ".tmp")
        self.type(f"{{ {command}; }} > {tmp} 2>&1; mv {tmp} {path}")
        return read_file(path) if wait_for(path.exists, timeout) else None

    def wait_ready(self, timeout=90):
        ready = self.work / "ready"
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            # Ctrl-U first: keys typed before the shell was there may have left a half line.
            xdotool("windowactivate", "--sync", self.window)
            # A click in the terminal gives it the keyboard, as a user would.
            width, height = self.geometry()
            xdotool("mousemove", "--window", self.window, width // 3, height // 2, "click", "1")
            xdotool("key", "ctrl+u")
            self.type(f"touch {ready}")
            if wait_for(ready.exists, 2):
                return True
        return False

    def grid(self):
        size = self.run("stty size", "size", 10)
        rows, cols = (int(v) for v in size.split()) if size else (0, 0)
        return rows, cols

    def geometry(self):
        text = xdotool("getwindowgeometry", "--shell", self.window)
        values = dict(line.split("=", 1) for line in text.splitlines() if "=" in line)
        return int(values["WIDTH"]), int(values["HEIGHT"])

    def resize_to(self, width, height, before):
        xdotool("windowsize", self.window, width, height)
        wait_for(lambda: self.geometry() == (width, height), 3)
        # The page refits and tells the shell; wait for the grid to change, if it will.
        deadline = time.monotonic() + 3
        grid = self.grid()
        while grid == before and time.monotonic() < deadline:
            grid = self.grid()
        return grid

    def fit_grid(self, rows, cols):
        """Sizes the window until the shell sees exactly rows x cols."""
        grid = self.grid()
        width, height = self.geometry()
        probe = self.resize_to(width + 300, height + 200, grid)
        cell_w = 300 / max(1, probe[1] - grid[1])
        cell_h = 200 / max(1, probe[0] - grid[0])
        width, height, grid = width + 300, height + 200, probe
        for _ in range(8):
            if grid == (rows, cols):
                return True
            width += round((cols - grid[1]) * cell_w)
            height += round((rows - grid[0]) * cell_h)
            if grid[1] != cols and abs(cols - grid[1]) * cell_w < 1:
                width += 1 if cols > grid[1] else -1
            if grid[0] != rows and abs(rows - grid[0]) * cell_h < 1:
                height += 1 if rows > grid[0] else -1
            grid = self.resize_to(width, height, grid)
        return grid == (rows, cols)

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", str(path)], check=False, timeout=30)

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()


def process_table():
    """pid -> (ppid, name, CPU seconds) for every process now running."""
    table = {}
    tick = os.sysconf("SC_CLK_TCK")
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            text = (entry / "stat").read_text()
        except OSError:
            continue
        name = text[text.index("(") + 1:text.rindex(")")]
        fields = text[text.rindex(")") + 2:].split()
        table[int(entry.name)] = (int(fields[1]), name, (int(fields[11]) + int(fields[12])) / tick)
    return table


def terminal_cpu(root):
    """CPU seconds so far of the terminal's own processes: `root` and its descendants,
    leaving out the shell and what it runs (the command is the same on both sides)."""
    table = process_table()
    children = {}
    for pid, (ppid, _, _) in table.items():
        children.setdefault(ppid, []).append(pid)
    total, stack = 0.0, [root]
    while stack:
        pid = stack.pop()
        if pid not in table or table[pid][1] in ("bash", "sh", "seq"):
            continue
        total += table[pid][2]
        stack += children.get(pid, [])
    return total


def timed_command(command):
    # The time goes to the group's stderr (the file), the output to the terminal.
    return f"TIMEFORMAT=%R; time {command} >/dev/tty"


def trial(kind, args, env, work, rows, cols, shot=None):
    work.mkdir(parents=True, exist_ok=True)
    if kind == "vte":
        argv = [args.vte, "--columns", str(cols), "--rows", str(rows)]
    else:
        argv = [str(Path(args.prefix) / "bin" / "zvui")]
    term = Terminal(argv, env, work)
    try:
        if not term.wait_ready():
            raise RuntimeError(f"{kind}: the shell never answered")
        # Both are asked for the grid, and both windows are then sized until the shell sees it.
        if term.grid() != (rows, cols) and not term.fit_grid(rows, cols):
            raise RuntimeError(f"{kind}: could not size the grid to {rows}x{cols}")
        grid = term.grid()
        if grid != (rows, cols):
            raise RuntimeError(f"{kind}: grid is {grid}, wanted {(rows, cols)}")
        load_before = loadavg()
        cpu_before = terminal_cpu(term.proc.pid)
        seconds = term.run(timed_command(args.command), "time", args.timeout)
        cpu = terminal_cpu(term.proc.pid) - cpu_before
        load_after = loadavg()
        if seconds is None:
            raise RuntimeError(f"{kind}: the command did not finish in {args.timeout} s")
        if shot is not None:
            # Let the last screenful be drawn before looking.
            term.run("true", "settled", 30)
            term.screenshot(shot)
        return float(seconds), cpu, load_before, load_after
    finally:
        term.close()


def plain_reader_floor(command):
    """The same command on a PTY whose master is read as fast as possible."""
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "time"
        pid, master = pty.fork()
        if pid == 0:
            os.execvp("bash", ["bash", "-c", f"TIMEFORMAT=%R; {{ time {command}; }} 2>{out}"])
        while True:
            try:
                if not os.read(master, 65536):
                    break
            except OSError:
                break
        os.waitpid(pid, 0)
        os.close(master)
        return float(out.read_text().strip())


def console_bench(args):
    backend = Path(args.prefix) / "lib" / "zvui" / "MacTamrikBackend"
    done = subprocess.run([args.console_bench, str(backend)], capture_output=True, text=True,
                          timeout=900)
    figures = {}
    for line in done.stdout.splitlines():
        if m := re.match(r"keystroke_echo_ms\s+n=\d+ p50=([\d.]+) p95=([\d.]+)", line):
            figures["echo_p50"], figures["echo_p95"] = float(m[1]), float(m[2])
        elif m := re.match(r"ctrl_c_to_prompt_ms\s+n=\d+ p50=([\d.]+) max=([\d.]+)", line):
            figures["ctrlc_p50"], figures["ctrlc_max"] = float(m[1]), float(m[2])
        elif m := re.match(r"output_mib_per_s\s+([\d.]+) \(([\d.]+) s", line):
            figures["socket_output_s"] = float(m[2])
    return figures, done.stdout


def renderer_probe(args, work):
    """Which renderer the console page settles on in a web view on this display."""
    backend = Path(args.prefix) / "lib" / "zvui" / "MacTamrikBackend"
    env = dict(os.environ, TAMRIK_PORT="0", TAMRIK_APP_MODE="1")
    proc = subprocess.Popen([str(backend)], env=env, stdout=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline().strip()
        url = line.split("=", 1)[1] if line.startswith("TAMRIK_URL=") else ""
        done = subprocess.run([args.snapshot, url, str(work / "probe.png"), "3000", "1440", "920",
                               "const d = document.documentElement.dataset; "
                               "return (d.renderer || 'unknown') + (d.rendererWhy ? ' (' + d.rendererWhy + ')' : '')"],
                              capture_output=True, text=True, timeout=120)
        return done.stdout.strip().splitlines()[-1] if done.stdout.strip() else "unknown"
    finally:
        proc.terminate()
        proc.wait()


def markdown(args, results, cpu, floor, bench, renderer, loads):
    vte = statistics.median(results["vte"])
    app = statistics.median(results["app"])
    fmt = lambda xs: " / ".join(f"{x:.2f}" for x in xs)
    lines = [
        MARK_BEGIN,
        f"## Output against a VTE terminal ({time.strftime('%Y-%m-%d')})",
        "",
        f"`{args.command}` timed inside the shell (bash `time`), {args.cols}\u00d7{args.rows} grid,"
        f" {args.runs} alternating runs each, on {os.environ.get('DISPLAY')} with a window manager;"
        f" written by `output_vs_vte.py`. Console renderer: **{renderer}**."
        f" Load average (1 min) {min(loads):.2f}–{max(loads):.2f} on {os.cpu_count()} cores.",
        "",
        "| terminal | runs (s) | median | vs VTE | terminal's CPU, median |",
        "|---|---|---|---|---|",
        f"| VTE ({Path(args.vte).name}) | {fmt(results['vte'])} | {vte:.2f} s | 1.00x |"
        f" {statistics.median(cpu['vte']):.2f} s |",
        f"| ZVui console (MacTamrikBackend) | {fmt(results['app'])} | {app:.2f} s |"
        f" {app / vte:.2f}x | {statistics.median(cpu['app']):.2f} s |",
        f"| floor: PTY drained by a plain reader | {floor:.2f} | {floor:.2f} s |"
        f" {floor / vte:.2f}x | |",
    ]
    if "socket_output_s" in bench:
        lines.append(f"| backend alone, acknowledged at once over the socket | "
                     f"{bench['socket_output_s']:.2f} | {bench['socket_output_s']:.2f} s | "
                     f"{bench['socket_output_s'] / vte:.2f}x | |")
    lines += [
        "",
        "Terminal's CPU: user and system time of the terminal's own processes during the run"
        " (sakura; the app, its web and network processes and the backend), the shell and"
        " the command left out.",
        "",
        f"Through the terminal socket (mactamrik_console_bench, same session): keystroke echo "
        f"p50 {bench.get('echo_p50', float('nan')):.3f} ms, "
        f"p95 {bench.get('echo_p95', float('nan')):.3f} ms; `yes` then Ctrl-C until the next "
        f"command answers: median {bench.get('ctrlc_p50', float('nan')):.1f} ms, "
        f"worst {bench.get('ctrlc_max', float('nan')):.1f} ms.",
        MARK_END,
    ]
    return "\n".join(lines) + "\n"


def write_section(path, section):
    text = Path(path).read_text() if Path(path).exists() else ""
    if MARK_BEGIN in text and MARK_END in text:
        head, rest = text.split(MARK_BEGIN, 1)
        tail = rest.split(MARK_END, 1)[1].lstrip("\n")
        text = head + section + ("\n" + tail if tail else "")
    else:
        text = text.rstrip("\n") + "\n\n" + section
    Path(path).write_text(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--prefix", default="_install", help="where the app is installed")
    parser.add_argument("--vte", default=shutil.which("sakura") or "sakura")
    parser.add_argument("--console-bench", default="build-rel/bench/reference-backend/"
                        "mactamrik_console_bench")
    parser.add_argument("--snapshot", default="build-rel/bench/reference-backend/console_snapshot")
    parser.add_argument("--command", default="seq 1 2000000")
    parser.add_argument("--rows", type=int, default=48)
    parser.add_argument("--cols", type=int, default=137)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--timeout", type=float, default=300)
    parser.add_argument("--wm", default="openbox")
    parser.add_argument("--only", choices=["app", "vte"], help="time one terminal only")
    parser.add_argument("--shot", help="save a screenshot after the last console run here")
    parser.add_argument("--write", help="put the results section into this markdown file")
    args = parser.parse_args()
    if not os.environ.get("DISPLAY"):
        sys.exit("no DISPLAY: run under xvfb-run (see the top of this file)")

    work = Path(tempfile.mkdtemp(prefix="output-vs-vte-"))
    config = work / "config"
    (config / "ZVui").mkdir(parents=True)
    # A window, not full screen: the grid is sized like the VTE terminal's.
    (config / "ZVui" / "settings.json").write_text(json.dumps({"autoFullscreen": False}))
    env = dict(os.environ, XDG_CONFIG_HOME=str(config))
    wm = None
    if args.wm != "none":
        wm = subprocess.Popen([args.wm], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        kinds = [args.only] if args.only else ["vte", "app"]
        results = {"vte": [], "app": []}
        cpu = {"vte": [], "app": []}
        loads = []
        for i in range(args.runs):
            order = kinds if i % 2 == 0 else list(reversed(kinds))
            for kind in order:
                last = kind == "app" and i == args.runs - 1 and args.shot
                seconds, used, before, after = trial(kind, args, env, work / f"{kind}-{i}",
                                               args.rows, args.cols,
                                               Path(args.shot) if last else None)
                results[kind].append(seconds)
                cpu[kind].append(used)
                loads += [before, after]
                print(f"{kind} run {i + 1}: {seconds:.2f} s, terminal CPU {used:.2f} s"
                      f" (load {before:.2f} -> {after:.2f})", flush=True)
        if args.only:
            print(f"{args.only} median {statistics.median(results[args.only]):.2f} s")
            return
        floor = plain_reader_floor(args.command)
        print(f"plain reader: {floor:.2f} s", flush=True)
        renderer = renderer_probe(args, work)
        print(f"renderer: {renderer}", flush=True)
        bench, raw = console_bench(args)
        print(raw, flush=True)
        section = markdown(args, results, cpu, floor, bench, renderer, loads)
        print(section)
        if args.write:
            write_section(args.write, section)
    finally:
        if wm is not None:
            wm.terminate()
            wm.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
