#!/usr/bin/env python3
"""The whole install as a user gets it: the reference service (Release build) serves a package
generated here, and quillbank-setup.exe under Wine downloads it, puts it in place and deletes its
staging folder. Reports each phase and the total beside `unzip` (and `rm -rf`) of the same tree
from a zip file, and the program's peak working set (GetProcessMemoryInfo, read by
bench_peak_memory.exe, which starts it).

    whole_install.py --service SERVICE --windows-build DIR --arch win64 --launcher EXE
                     [--mib 256] [--files 2400] [--runs 3] [--signed]

With --signed the package carries a manifest signed with the Windows build's demo key and the
program is that build's quillbank-setup-demo.exe, which checks every file against it before the
copy; the time the check took after the last byte is read from the install log.

The phases are seen from outside, polling every 20 ms: download from the click on
"Install" until module.info appears in the staging folder (the program writes it once the last
file is in); copy into place until the first of 64 sampled staged files disappears; staging
delete until the staging folder is gone. XCOPY's own time, from its process, is shown too.
Every figure is the median of --runs installs (the machine is shared), the best beside it.
"""
import argparse
import hashlib
import os
import random
import shutil
import subprocess
import sys
import time
import zlib

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "e2e"))
import qbdrive  # noqa: E402
import scenario  # noqa: E402

MIB = 1 << 20
DOWNLOAD_ADDRESS = ("127.0.0.22", 31712)


# -- the package -------------------------------------------------------------------------------

def compressible_pool(rng, size):
    """Like a shared library's symbol and string tables and padding: a small vocabulary of
    names, a few numbers, runs of zeros."""
    words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz_") for _ in range(rng.randint(4, 14)))
             for _ in range(120)]
    parts, total = [], 0
    while total < size:
        r = rng.random()
        if r < 0.15:
            w = b"\0" * rng.choice((8, 16, 32, 64))
        else:
            w = (rng.choice(words) + ("@%d" % rng.randint(0, 9) if r < 0.25 else "") + "\0").encode()
        parts.append(w)
        total += len(w)
    return b"".join(parts)[:size]


def file_sizes(rng, count, total):
    """`count` sizes (log-normal, as shared libraries are) adding up to `total`."""
    raw = [rng.lognormvariate(0, 1.3) for _ in range(count)]
    scale = total / sum(raw)
    sizes = [max(512, int(r * scale)) for r in raw]
    sizes[-1] += total - sum(sizes)
    if sizes[-1] < 512:
        raise SystemExit("whole_install: too many files for the size asked")
    return sizes


def pieces(rng, noise, text, noise_bytes, size, piece=4096):
    """`size` bytes of 4 KiB pieces: `noise_bytes` of noise, then text."""
    out = bytearray()
    while len(out) < size:
        a = rng.randrange(len(noise) - noise_bytes)
        b = rng.randrange(len(text) - piece)
        out += noise[a:a + noise_bytes]
        out += text[b:b + piece - noise_bytes]
    return bytes(out[:size])


def make_tree(tree, mib, files, target_ratio=0.25, seed=15):
    """A tree of `files` files, `mib` MiB in all, that zlib packs to about target_ratio."""
    rng = random.Random(seed)
    noise = rng.randbytes(4 * MIB)
    text = compressible_pool(rng, MIB)
    # The packed size grows about linearly with the share of noise: two trials fix the share.
    def ratio(noise_bytes):
        sample = pieces(random.Random(1), noise, text, noise_bytes, MIB)
        return len(zlib.compress(sample, 6)) / MIB
    r0, r1 = ratio(0), ratio(1024)
    noise_bytes = max(0, min(4096, int(1024 * (target_ratio - r0) / (r1 - r0))))
    folders = ["bin", "lib", "lib/plugins", "lib/plugins/charts", "lib/plugins/feeds",
               "share/locale", "share/fonts", "lib/python", "lib/qt", "lib/qt/imageformats"]
    for n, size in enumerate(file_sizes(rng, files, mib * MIB)):
        folder = os.path.join(tree, folders[n % len(folders)])
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "lib%04d.so" % n), "wb") as f:
            f.write(pieces(rng, noise, text, noise_bytes, size))


def tree_bytes(tree):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(tree) for f in fs)


def prepare(work, service, mib, files, signing_key=None):
    """The tree, its zip and the packed package, made once per size and signing key (a stamp
    names them: each Windows build has a demo key of its own)."""
    stamp = os.path.join(work, "package-made")
    key = ""
    if signing_key:
        with open(signing_key, "rb") as f:
            key = ", signed with key %s" % hashlib.sha256(f.read()).hexdigest()[:16]
    wanted = "%d MiB, %d files%s\n" % (mib, files, key)
    if os.path.isfile(stamp) and open(stamp).read() == wanted:
        return
    for name in ("tree", "package", "tree.zip", "package-made"):
        path = os.path.join(work, name)
        if os.path.isdir(path):
            shutil.rmtree(path)
        elif os.path.exists(path):
            os.remove(path)
    tree = os.path.join(work, "tree")
    start = time.time()
    make_tree(tree, mib, files)
    subprocess.run(["zip", "-q", "-r", "-6", os.path.join(work, "tree.zip"), "."], cwd=tree,
                   check=True)
    subprocess.run([service, "pack", tree, os.path.join(work, "package"), "--number", "100201",
                    "--name", "bench", "--version", "1.1"]
                   + (["--sign", signing_key] if signing_key else []), check=True,
                   stdout=subprocess.DEVNULL)
    with open(stamp, "w") as f:
        f.write(wanted)
    print("whole install: package of %s made in %.0f s" % (wanted.strip(), time.time() - start),
          flush=True)


# -- the yardstick -----------------------------------------------------------------------------

def timed(cmd, **kw):
    start = time.perf_counter()
    subprocess.run(cmd, check=True, **kw)
    return time.perf_counter() - start


def unzip_figures(work):
    out = os.path.join(work, "unzipped")
    if os.path.isdir(out):
        shutil.rmtree(out)
    unzip = timed(["unzip", "-q", "-o", os.path.join(work, "tree.zip"), "-d", out])
    remove = timed(["rm", "-rf", out])
    return unzip, remove


# -- the run -----------------------------------------------------------------------------------

def xcopy_running():
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if b"xcopy" in f.read().lower():
                    return True
        except OSError:
            pass
    return False


def cpu_seconds(names):
    """{name: processor seconds so far} of the processes whose command line holds each name."""
    tick = os.sysconf("SC_CLK_TCK")
    found = dict.fromkeys(names, 0.0)
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                cmdline = f.read().lower()
            with open("/proc/%s/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        for name in names:
            if name.encode() in cmdline:
                found[name] += (int(fields[11]) + int(fields[12])) / tick
    return found


# Whose processor time the download phase takes.
CPU_NAMES = ("quillbank-service", "quillbank-setup", "wineserver")  # either installer program


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def check_ms(install_dir):
    """The package check's own time, from the install log the program copied into place."""
    path = os.path.join(install_dir, "log", "install.log")
    if not os.path.isfile(path):
        return None
    for line in open(path, "rb").read().split(b"\r\n"):
        if b"Package Check Success " in line:
            return int(line.rsplit(b" ", 2)[1])
    return None


def run_install(work, service, build_dir, arch, launcher, signed=False):
    build = scenario.WindowsBuild(build_dir, arch, signed=signed)
    package = os.path.join(work, "package")
    report = os.path.join(work, "peak.txt")
    if os.path.exists(report):
        os.remove(report)
    # The program knows only the compiled-in deployment addresses, which the demo and the
    # end-to-end tests use too: another service there would serve this run.
    if scenario.wait_listening(*DOWNLOAD_ADDRESS, timeout=0.5):
        raise SystemExit("whole install: another service listens on %s:%d (a demo or end-to-end "
                         "run?); try again when it is done" % DOWNLOAD_ADDRESS)
    log = open(os.path.join(work, "service.log"), "wb")
    server = subprocess.Popen([service, "serve", "--package", package], stdout=log,
                              stderr=subprocess.STDOUT, start_new_session=True)
    try:
        if not scenario.wait_listening(*DOWNLOAD_ADDRESS) or server.poll() is not None:
            raise SystemExit("whole install: the service did not start; see " + log.name)
        # Windows 10: no base archive, only the package's own files.
        with scenario.InstallerRun(build, os.path.join(work, "run"), windows_version="win10",
                                   prefix_dir=os.path.join(work, "prefix"),
                                   start_service=False) as run:
            env = run.prefix.env(run.display, run.lang)
            run.installer = qbdrive.Process(
                run.prefix.wine(launcher, windows_path(report), windows_path(build.installer)),
                env, os.path.join(work, "installer.out"))
            run.window = qbdrive.Window(run.display, timeout=90)
            if not qbdrive.wait_until(run.showing_button, 60):
                raise SystemExit("whole install: the window never showed its button")
            staging = run.staging_dir()
            # As Window.click does, with the clock started just before the press itself (the
            # download is under way before xdotool returns).
            x, y = qbdrive.BUTTON_CENTRE
            run.window.hover((x, y))
            time.sleep(0.3)
            run.window.hover((x + 1, y))
            time.sleep(0.3)
            cpu_start = cpu_seconds(CPU_NAMES)
            t = {"click": time.perf_counter()}
            run.window.press()
            samples = []
            xcopy_seen = []
            deadline = t["click"] + 1800
            while time.perf_counter() < deadline:
                now = time.perf_counter()
                if "first file" not in t:
                    # The staging folder holds the install log from the click on; the package's
                    # own folders come with the first file.
                    if os.path.isdir(staging) and set(os.listdir(staging)) - {"log"}:
                        t["first file"] = now
                elif "downloaded" not in t:
                    if os.path.exists(os.path.join(staging, "module.info")):
                        t["downloaded"] = now
                        cpu_end = cpu_seconds(CPU_NAMES)
                        t["cpu"] = {n: cpu_end[n] - cpu_start[n] for n in CPU_NAMES}
                        files = [os.path.join(d, f) for d, _, fs in os.walk(staging) for f in fs]
                        samples = random.Random(1).sample(files, min(64, len(files)))
                elif "copied" not in t:
                    if xcopy_running():
                        xcopy_seen.append(now)
                    if any(not os.path.exists(p) for p in samples):
                        t["copied"] = now
                elif not os.path.exists(staging):
                    t["deleted"] = now
                    break
                time.sleep(0.02)
            if "deleted" not in t or not run.installed():
                raise SystemExit("whole install: the installation did not complete: %s" % t)
            run.click_close()
            run.installer.wait(60)
            installed = tree_bytes(run.install_dir())
            t["check ms"] = check_ms(run.install_dir())
    finally:
        server.terminate()
        server.wait()
        log.close()
    peak = None
    if os.path.isfile(report):
        for line in open(report):
            name, _, value = line.partition(" ")
            if name == "peak_working_set_bytes":
                peak = int(value)
    xcopy = (xcopy_seen[-1] - xcopy_seen[0]) if len(xcopy_seen) > 1 else None
    return t, xcopy, installed, peak


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True, help="quillbank-service (a Release build)")
    parser.add_argument("--windows-build", required=True)
    parser.add_argument("--arch", default="win64", choices=["win32", "win64"])
    parser.add_argument("--launcher", required=True, help="bench_peak_memory.exe of that build")
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "bench", "whole-install"))
    parser.add_argument("--mib", type=int, default=256)
    parser.add_argument("--files", type=int, default=2400)
    parser.add_argument("--signed", action="store_true",
                        help="a signed package and the demo deployment's program")
    parser.add_argument("--runs", type=int, default=3, help="installs (and unzips) to take the "
                        "median of; the machine is shared")
    args = parser.parse_args()
    if args.signed:
        args.work += "-signed"
    os.makedirs(args.work, exist_ok=True)
    signing_key = (scenario.WindowsBuild(args.windows_build, args.arch, signed=True).signing_key
                   if args.signed else None)
    prepare(args.work, args.service, args.mib, args.files, signing_key)
    tree = os.path.join(args.work, "tree")
    size = tree_bytes(tree)
    nfiles = sum(len(fs) for _, _, fs in os.walk(tree))
    zipped = os.path.getsize(os.path.join(args.work, "tree.zip"))

    phases = {name: [] for name in ("download", "copy", "delete", "total", "first", "xcopy",
                                    "unzip", "remove")}
    peaks = []
    cpu = []
    checks = []
    for _ in range(args.runs):
        t, xcopy, installed, peak = run_install(args.work, args.service, args.windows_build,
                                                args.arch, args.launcher, args.signed)
        if installed < size:
            print("whole install: FAILED: %d of %d bytes in the install folder" % (installed, size))
            return 1
        unzip, remove = unzip_figures(args.work)
        phases["download"].append(t["downloaded"] - t["click"])
        cpu.append(t["cpu"])
        phases["first"].append(t["first file"] - t["click"])
        phases["copy"].append(t["copied"] - t["downloaded"])
        phases["delete"].append(t["deleted"] - t["copied"])
        phases["total"].append(t["deleted"] - t["click"])
        if xcopy:
            phases["xcopy"].append(xcopy)
        phases["unzip"].append(unzip)
        phases["remove"].append(remove)
        if peak:
            peaks.append(peak)
        if t.get("check ms") is not None:
            checks.append(t["check ms"])

    mb = size / 1e6
    m = {name: median(v) for name, v in phases.items() if v}
    b = {name: min(v) for name, v in phases.items() if v}
    print("whole install: %d files, %.1f MiB, zip ratio %.2f; %s program under %s, service %s; "
          "median of %d runs (best in brackets)"
          % (nfiles, size / MIB, zipped / size, args.arch, qbdrive.wine_which(args.arch),
             args.service, args.runs))
    def line(label, name, rate=True, extra=""):
        text = "  %-19s %6.2f s (%5.2f)" % (label, m[name], b[name])
        if rate:
            text += "  %6.1f MB/s (%6.1f)" % (mb / m[name], mb / b[name])
        print(text + extra)
    line("download" + (" + check" if args.signed else ""), "download",
         extra="  first file after %.2f s" % m["first"])
    if args.signed:
        print("    package check after the last byte: %s ms (median; runs: %s)"
              % (median(checks) if checks else "not read", ", ".join(map(str, checks))))
    print("    processor time during the download (median): " + ", ".join(
        "%s %.2f s" % (n, median([c[n] for c in cpu])) for n in CPU_NAMES))
    line("copy into place", "copy",
         extra="  XCOPY itself %.2f s" % m["xcopy"] if "xcopy" in m else "")
    line("staging delete", "delete", rate=False)
    line("total", "total")
    line("unzip of the tree", "unzip", extra="  the same tree from its zip")
    line("rm -rf of the tree", "remove", rate=False)
    print("  total / unzip       %6.1fx" % (m["total"] / m["unzip"]))
    if peaks:
        print("  peak working set    %6.1f MiB (GetProcessMemoryInfo; largest of the runs)"
              % (max(peaks) / MIB))
    else:
        print("  peak working set    not read")
    return 0


if __name__ == "__main__":
    sys.exit(main())
