#!/usr/bin/env python3
"""Starts the installer many times and counts the starts whose window is not on the display
within a time limit: fresh or reused prefixes, idle or with both cores kept busy, in three
languages. For each miss it keeps what tells why: the display's windows, every thread's
backtrace (winedbg) and the service log. Not part of the suite: the evidence for how reliably
the program's start shows its window under each Wine.

    start_loop.py --build-dir build/windows --arch win32 --starts 50 [--reuse] [--load]
"""
import argparse
import multiprocessing
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qbdrive  # noqa: E402
import scenario  # noqa: E402

LANGS = ("C.UTF-8", "zh_CN.UTF-8", "zh_TW.UTF-8")


def burn(stop):
    while not stop.is_set():
        sum(i * i for i in range(10000))


def evidence(run, folder):
    """What the display and the program's threads look like at a miss."""
    os.makedirs(folder, exist_ok=True)
    env = run.display.env()
    with open(os.path.join(folder, "windows.txt"), "w") as f:
        f.write(subprocess.run(["xwininfo", "-root", "-tree"], env=env, text=True,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT).stdout)
    wenv = run.prefix.env(run.display, run.lang)
    listing = subprocess.run(run.prefix.wine("winedbg"), input="info process\nquit\n", env=wenv,
                             text=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             timeout=60).stdout
    pids = [line.split()[0] for line in listing.splitlines()
            if "quillbank-setup" in line and line.split()[0].strip("=")]
    with open(os.path.join(folder, "threads.txt"), "w") as f:
        f.write(listing)
        for pid in pids:
            f.write(subprocess.run(run.prefix.wine("winedbg"),
                                   input="attach 0x%s\nbt all\ndetach\nquit\n" % pid.strip("="),
                                   env=wenv, text=True, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, timeout=120).stdout)
    shutil.copy(os.path.join(run.work_dir, "service.log"), folder)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--arch", required=True, choices=["win32", "win64"])
    parser.add_argument("--starts", type=int, default=50)
    parser.add_argument("--timeout", type=float, default=10.0)
    parser.add_argument("--reuse", action="store_true", help="one prefix for every start")
    parser.add_argument("--load", action="store_true", help="keep every core busy meanwhile")
    parser.add_argument("--work", default=os.path.join(scenario.ROOT, "build", "start-loop"))
    args = parser.parse_args()
    build = scenario.WindowsBuild(args.build_dir, args.arch)
    tag = "%s-%s-%s" % (args.arch, "reused" if args.reuse else "fresh",
                        "load" if args.load else "idle")
    work = os.path.join(args.work, tag)
    shutil.rmtree(work, ignore_errors=True)
    stop = multiprocessing.Event()
    burners = [multiprocessing.Process(target=burn, args=(stop,), daemon=True)
               for _ in range(os.cpu_count() if args.load else 0)]
    for b in burners:
        b.start()
    display = qbdrive.Display(private=True)
    missed, times = [], []
    try:
        for i in range(args.starts):
            lang = LANGS[i % len(LANGS)]
            with scenario.InstallerRun(build, os.path.join(work, "run"), lang=lang,
                                       display=display, fresh_prefix=not args.reuse or i == 0,
                                       prefix_dir=os.path.join(work, "prefix")) as run:
                t0 = time.time()
                try:
                    run.start_installer(timeout=args.timeout)
                    times.append(time.time() - t0)
                except TimeoutError as e:
                    missed.append((i, lang))
                    print("%s: start %d (%s): %s" % (tag, i, lang, e), flush=True)
                    evidence(run, os.path.join(work, "miss-%d" % i))
    finally:
        stop.set()
        display.stop()
    times.sort()
    print("%s under %s: %d starts, %d without a window after %.0f s; window after %.2f s "
          "(median), %.2f s (slowest)%s"
          % (tag, qbdrive.wine_which(args.arch), args.starts, len(missed), args.timeout,
             times[len(times) // 2] if times else 0, times[-1] if times else 0,
             "; missed: %s" % missed if missed else ""), flush=True)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
