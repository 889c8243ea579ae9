#!/usr/bin/env python3
"""Measures ZVui against a bare GTK 4 + WebKitGTK window showing the same page.

For each run of each program: the time from exec to its first drawn frame (both note it on
the monotonic clock: zvui in its debug log, the bare programs on stderr; a third program, the
bare window without a page, gives the first frame of a plain GTK 4 window), the time from
exec to the page's load event (the page calls back to its server on `load`), the memory of the whole process tree (PSS from
/proc/*/smaps_rollup, page server included on both sides) two seconds after the reveal,
and the wakeups of the program's own process over ten idle seconds (context switches of all
its threads, from /proc/PID/task/*/status). Run under a display and a session bus, which
both programs share, for example:

  dbus-run-session -- xvfb-run -a -s "-screen 0 1920x1200x24" bench/app/measure_app.py \
      --zvui _install/bin/zvui --bare build/bench/app/zvui_bare_window \
      --backend build/bench/app/zvui_bench_backend --runs 5
"""
import argparse
import os
import re
import shutil
import signal
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

FADE_S = 0.42
SETTLE_S = 2.0
IDLE_S = 10.0


def children_map():
    kids = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path(f"/proc/{entry}/stat").read_text()
        except OSError:
            continue
        ppid = int(stat[stat.rindex(")") + 2:].split()[1])
        kids.setdefault(ppid, []).append(int(entry))
    return kids


def tree(pid):
    kids = children_map()
    found, todo = [], [pid]
    while todo:
        p = todo.pop()
        found.append(p)
        todo.extend(kids.get(p, []))
    return found


def pss_kib(pids):
    total = 0
    for pid in pids:
        try:
            for line in Path(f"/proc/{pid}/smaps_rollup").read_text().splitlines():
                if line.startswith("Pss:"):
                    total += int(line.split()[1])
        except OSError:
            pass
    return total


def switches(pid):
    """Context switches so far and name, per thread of `pid`."""
    counts = {}
    for task in Path(f"/proc/{pid}/task").iterdir():
        try:
            total = 0
            for line in (task / "status").read_text().splitlines():
                if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                    total += int(line.split()[1])
            counts[task.name] = (total, (task / "comm").read_text().strip())
        except OSError:
            pass
    return counts


def wakeups_over(pid, seconds):
    """Switches of the threads of `pid` during `seconds`, per second; threads that started
    meanwhile count in full, threads that ended count with what was seen of them. Prints
    which threads they were."""
    before = switches(pid)
    time.sleep(seconds)
    after = switches(pid)
    by_thread = {}
    for t, (count, name) in after.items():
        by_thread[name] = by_thread.get(name, 0) + count - before.get(t, (0, name))[0]
    busy = ", ".join(f"{name} {n / seconds:.1f}" for name, n in
                     sorted(by_thread.items(), key=lambda item: -item[1]) if n)
    print(f"  wakeups/s by thread: {busy or 'none'}", flush=True)
    return sum(by_thread.values()) / seconds


def wait_for_line(path, deadline_s=60):
    end = time.monotonic() + deadline_s
    while time.monotonic() < end:
        if path.exists():
            text = path.read_text()
            if text.endswith("\n"):
                return int(text.split()[0])
        time.sleep(0.002)
    raise RuntimeError(f"no load event within {deadline_s} s")


FIRST_FRAME = re.compile(rb"first frame drawn at (\d+) us")


def first_frame_us(log, deadline_s=60):
    end = time.monotonic() + deadline_s
    while time.monotonic() < end:
        found = FIRST_FRAME.search(log.read_bytes()) if log.exists() else None
        if found:
            return int(found.group(1))
        time.sleep(0.002)
    raise RuntimeError(f"no first frame within {deadline_s} s: {log.read_bytes()[-2000:]!r}")


def stop(proc):
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=20)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def measure(start, extra_pids, loaded, log):
    t0 = time.monotonic_ns()
    proc = start()
    try:
        load_ns = wait_for_line(loaded) - t0
        frame_ns = first_frame_us(log) * 1000 - t0
        time.sleep(FADE_S + SETTLE_S)
        pss = pss_kib(tree(proc.pid) + [p for x in extra_pids for p in tree(x)])
        wakeups = wakeups_over(proc.pid, IDLE_S)
    finally:
        stop(proc)
    return frame_ns / 1e6, load_ns / 1e6, pss / 1024, wakeups


def environment(work, loaded):
    env = dict(os.environ)
    config = work / "config" / "ZVui"
    config.mkdir(parents=True, exist_ok=True)
    (config / "settings.json").write_text('{"autoFullscreen": false}')
    env.update({
        "XDG_CONFIG_HOME": str(work / "config"),
        "ZVUI_BENCH_LOADED": str(loaded),
        "G_MESSAGES_DEBUG": "ZVui",
    })
    return env


def install_app(zvui, backend, work):
    """A fresh prefix under `work` holding the installed app's files with `backend` as its
    backend; returns the app's executable."""
    prefix = work / "prefix"
    (prefix / "bin").mkdir(parents=True)
    resources = prefix / "lib" / "zvui"
    resources.mkdir(parents=True)
    shutil.copy2(zvui, prefix / "bin" / "zvui")
    shutil.copy2(backend, resources / "MacTamrikBackend")
    installed = Path(zvui).resolve().parent.parent / "lib" / "zvui"
    for name in ("BrandWordmark.png", "BrandIcon.png", "zvui-backend-guard"):
        if (installed / name).exists():
            shutil.copy2(installed / name, resources / name)
    return prefix / "bin" / "zvui"


def run_zvui(args, work):
    app = install_app(args.zvui, args.backend, work)
    loaded = work / "loaded"
    env = environment(work, loaded)
    log = work / "log"
    with open(log, "wb") as out:
        # GLib writes debug messages to standard output.
        return measure(lambda: subprocess.Popen([str(app)], env=env,
                                                stdout=out, stderr=subprocess.DEVNULL),
                       [], loaded, log)


def run_bare(args, work):
    loaded = work / "loaded"
    env = environment(work, loaded)
    server = subprocess.Popen([args.backend], env=env, stdout=subprocess.PIPE, text=True)
    try:
        url = server.stdout.readline().strip().removeprefix("TAMRIK_URL=")
        log = work / "log"
        with open(log, "wb") as out:
            return measure(lambda: subprocess.Popen([args.bare, url], env=env,
                                                    stdout=subprocess.DEVNULL, stderr=out),
                           [server.pid], loaded, log)
    finally:
        server.kill()
        server.wait()


def run_gtk(args, work):
    """The bare window without a page: exec to its first frame, nothing else."""
    log = work / "log"
    with open(log, "wb") as out:
        t0 = time.monotonic_ns()
        proc = subprocess.Popen([args.bare, "--no-page"], stdout=subprocess.DEVNULL, stderr=out)
        try:
            frame_ns = first_frame_us(log) * 1000 - t0
        finally:
            stop(proc)
    return frame_ns / 1e6, 0.0, 0.0, 0.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--zvui", required=True)
    parser.add_argument("--bare", required=True)
    parser.add_argument("--backend", required=True)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    results = {"zvui": [], "bare": [], "gtk": []}
    loads = [os.getloadavg()[0]]
    for _ in range(args.runs):
        for name, run in (("bare", run_bare), ("zvui", run_zvui), ("gtk", run_gtk)):
            with tempfile.TemporaryDirectory(prefix=f"zvui-bench-{name}-") as work:
                results[name].append(run(args, Path(work)))
                print(name, "first frame %.0f ms, load %.0f ms, PSS %.1f MiB, %.2f wakeups/s"
                      % results[name][-1], flush=True)
                loads.append(os.getloadavg()[0])

    def median(name, i):
        return statistics.median(r[i] for r in results[name])

    print()
    print(f"load average (1 min) during the runs: {min(loads):.2f} to {max(loads):.2f}")
    print()
    print("| figure (median of %d) | bare window | zvui | ratio |" % args.runs)
    print("|---|---|---|---|")
    gtk_frame, app_frame = median("gtk", 0), median("zvui", 0)
    print(f"| exec to first frame (bare: a GTK window without a page) | {gtk_frame:.1f} ms "
          f"| {app_frame:.1f} ms | {app_frame / gtk_frame:.2f}x |")
    for i, (label, unit) in enumerate((("exec to first frame", "ms"),
                                       ("exec to load event", "ms"),
                                       ("PSS of the process tree", "MiB"),
                                       ("wakeups of the UI process after the reveal", "/s"))):
        bare, app = median("bare", i), median("zvui", i)
        ratio = f"{app / bare:.2f}x" if bare else "-"
        print(f"| {label} | {bare:.1f} {unit} | {app:.1f} {unit} | {ratio} |")


if __name__ == "__main__":
    main()
