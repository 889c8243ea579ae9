#!/usr/bin/env python3
"""What a chatty backend pays for its output: the installed app against `cat > /dev/null`.

`zvui_bench_flood_app_backend` writes 1 GiB (by default) of numbered 100-character lines in
64 KiB writes and notes how long the writing took, once before it announces its address,
once after (when the app has asked for its page, so during the reveal) and once when the app
is live (3 s later). Each round runs it into `cat > /dev/null`
and as the app's backend, alternately; the figures are medians, with the app's CPU time.
Run under a display and a session bus:

  dbus-run-session -- xvfb-run -a -s "-screen 0 1920x1200x24 -noreset" bench/backend/flood_app.py \
      --zvui _install/bin/zvui --backend build/bench/backend/zvui_bench_flood_app_backend
"""
import argparse
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "app"))
from measure_app import install_app, stop  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def wait_for(path, deadline_s=300):
    end = time.monotonic() + deadline_s
    while time.monotonic() < end:
        if path.exists() and path.read_text().endswith("\n"):
            return float(path.read_text().split()[0])
        time.sleep(0.005)
    raise RuntimeError("the flood did not finish")


def into_cat(args, work, when):
    times = work / "times"
    env = dict(os.environ, FLOOD_BYTES=str(args.bytes), FLOOD_WHEN=when,
               FLOOD_TIME_FILE=str(times), FLOOD_ALONE="1")
    proc = subprocess.Popen(["sh", "-c", 'exec "$0" | cat > /dev/null', args.backend], env=env,
                            start_new_session=True)
    try:
        return wait_for(times), 0.0
    finally:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()


def into_app(args, work, when):
    app = install_app(args.zvui, args.backend, work)
    config = work / "config" / "ZVui"
    config.mkdir(parents=True)
    (config / "settings.json").write_text('{"autoFullscreen": false}')
    times = work / "times"
    env = dict(os.environ, FLOOD_BYTES=str(args.bytes), FLOOD_WHEN=when,
               FLOOD_TIME_FILE=str(times), XDG_CONFIG_HOME=str(work / "config"))
    proc = subprocess.Popen([str(app)], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        before = cpu_seconds(proc.pid)
        seconds = wait_for(times)
        return seconds, cpu_seconds(proc.pid) - before
    finally:
        stop(proc)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--zvui", required=True)
    parser.add_argument("--backend", required=True)
    parser.add_argument("--bytes", type=int, default=1 << 30)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    args.backend = str(Path(args.backend).resolve())

    results = {}
    loads = [os.getloadavg()[0]]
    for _ in range(args.runs):
        for when in ("before", "after", "live"):
            for name, run in (("cat", into_cat), ("app", into_app)):
                with tempfile.TemporaryDirectory(prefix="zvui-flood-") as work:
                    seconds, cpu = run(args, Path(work), when)
                results.setdefault((when, name), []).append((seconds, cpu))
                loads.append(os.getloadavg()[0])
                print(f"{when:6} {name}: {seconds:.3f} s" + (f", app CPU {cpu:.2f} s" if cpu else ""),
                      flush=True)

    print()
    print(f"{args.bytes / 2**30:.2f} GiB of 100-character lines, median of {args.runs}; "
          f"load average (1 min) {min(loads):.2f} to {max(loads):.2f}")
    print()
    print("| output written | into cat | into the app | ratio | app CPU |")
    print("|---|---|---|---|---|")
    for when, label in (("before", "before the address"), ("after", "after the address, during the reveal"),
                        ("live", "after the address, once live")):
        cat = statistics.median(r[0] for r in results[(when, "cat")])
        app = statistics.median(r[0] for r in results[(when, "app")])
        cpu = statistics.median(r[1] for r in results[(when, "app")])
        print(f"| {label} | {cat:.3f} s | {app:.3f} s | {app / cat:.2f}x | {cpu:.2f} s |")


if __name__ == "__main__":
    main()
