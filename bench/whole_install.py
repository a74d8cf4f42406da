#!/usr/bin/env python3
"""The whole install as a user gets it: the reference service (Release build) serves a package
generated here, and quillbank-setup.exe under Wine downloads it over an earlier install of the same
tree, puts it in place and deletes the install it replaced. Reports each phase and the total beside `unzip` (and `rm -rf`) of the same tree
from a zip file, and the program's peak working set (GetProcessMemoryInfo, read by
bench_peak_memory.exe, which starts it).

    whole_install.py --service SERVICE --windows-build DIR --arch win64 --launcher EXE
                     [--mib 256] [--files 2400] [--runs 3] [--signed]

With --signed the package carries a manifest signed with the Windows build's demo key and the
program is that build's quillbank-setup-demo.exe, which checks every file against it before the
copy; the time the check took after the last byte is read from the install log.

The phases are seen from outside, polling every 20 ms: download from the click on
"Install" until module.info appears in the staging folder (the program writes it once the last
file is in); replace until the staging folder is in place of the install folder; "Open" until the
button is on screen; the replaced install's delete (after "Open") until "<InstallDir>.previous" is
gone. XCOPY, the fallback of the replace, is reported when it ran.
Every figure is the median of --runs installs (the machine is shared), the best beside it.
"""
import argparse
import hashlib
import os
import random
import shutil
import subprocess
from statistics import median_high as median  # of an even count, the upper of the two middle ones
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


def prepare(work, service, mib, files, signing_key=None, chunk_kib=None):
    """The tree, its zip and the packed package, made once per size, signing key and chunk size
    (a stamp names them: each Windows build has a demo key of its own)."""
    stamp = os.path.join(work, "package-made")
    key = ""
    if signing_key:
        with open(signing_key, "rb") as f:
            key = ", signed with key %s" % hashlib.sha256(f.read()).hexdigest()[:16]
    wanted = "%d MiB, %d files%s%s\n" % (mib, files, key,
                                        ", chunks of %d KiB" % chunk_kib if chunk_kib else "")
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
                   + (["--sign", signing_key] if signing_key else [])
                   + (["--chunk-kib", str(chunk_kib)] if chunk_kib else []), check=True,
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
    """{name: processor seconds so far} of the processes whose command line holds each name,
    and under STOLEN the machine's steal time so far."""
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
    # On a virtual machine, the time the host gave to other guests while this one wanted to run
    # ("steal" in /proc/stat, summed over the processors): a figure taken while it is large says
    # more about the host than about the program.
    with open("/proc/stat") as f:
        found[STOLEN] = int(f.readline().split()[8]) / tick
    return found


# Whose processor time the download phase takes.
CPU_NAMES = ("quillbank-service", "quillbank-setup", "wineserver")  # either installer program
STOLEN = "stolen by the host"


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


def log_figure(install_dir, marker):
    """The number before " ms" in the install log's line holding `marker`, or None."""
    path = os.path.join(install_dir, "log", "install.log")
    if not os.path.isfile(path):
        return None
    for line in open(path, "rb").read().split(b"\r\n"):
        if marker in line and line.endswith(b" ms"):
            return int(line.rsplit(b" ", 2)[1])
    return None


def files_sent(service_log):
    """(module files, MB) the service sent, from its log's "module files sent" lines."""
    files, mb = 0, 0.0
    for line in open(service_log, encoding="utf-8", errors="replace"):
        if " module files sent: " in line:
            rest = line.split(" module files sent: ")[1]
            files += int(rest.split()[0])
            mb += float(rest.split(", ")[1].split()[0])  # "12.3 MB"
    return files, mb


def prepare_update(work, service, signing_key, changed, kind="replaced", chunk_kib=None):
    """Version 1.2 of the package, signed: the tree with `changed` files (spread over it)
    rewritten at the same sizes ("replaced"), 100 bytes inserted in the middle of each of them
    ("insert"), or with 64 bytes appended to every file ("append", a day of quotes). Made once
    per stamp of the first version."""
    stamp = os.path.join(work, "package-made")
    wanted = open(stamp).read() + "update: %d %s, chunks %s\n" % (changed, kind, chunk_kib)
    update_stamp = os.path.join(work, "package-v2-made")
    if os.path.isfile(update_stamp) and open(update_stamp).read() == wanted:
        return
    tree2 = os.path.join(work, "tree-v2")
    for path in (tree2, os.path.join(work, "package-v2")):
        if os.path.isdir(path):
            shutil.rmtree(path)
    shutil.copytree(os.path.join(work, "tree"), tree2)
    files = sorted(os.path.join(d, f) for d, _, fs in os.walk(tree2) for f in fs)
    rng = random.Random(7)
    chosen = files if kind == "append" else files[::max(1, len(files) // changed)][:changed]
    for path in chosen:
        size = os.path.getsize(path)
        if kind == "append":
            with open(path, "ab") as f:
                f.write(rng.randbytes(64))
            continue
        if kind == "insert":
            with open(path, "rb") as f:
                data = f.read()
            data = data[:size // 2] + rng.randbytes(100) + data[size // 2:]
        else:
            data = rng.randbytes(size)
        with open(path, "wb") as f:
            f.write(data)
    subprocess.run([service, "pack", tree2, os.path.join(work, "package-v2"), "--number", "100201",
                    "--name", "bench", "--version", "1.2", "--sign", signing_key] +
                   (["--chunk-kib", str(chunk_kib)] if chunk_kib else []), check=True,
                   stdout=subprocess.DEVNULL)
    shutil.rmtree(tree2)
    with open(update_stamp, "w") as f:
        f.write(wanted)


def run_install(work, service, build_dir, arch, launcher, signed=False, package_name="package",
                reusable=False):
    """One install over an earlier one: the same tree when `reusable` (an update it can take
    files from), else the tree with every file one byte longer (nothing to reuse)."""
    build = scenario.WindowsBuild(build_dir, arch, signed=signed)
    package = os.path.join(work, package_name)
    report = os.path.join(work, "peak.txt")
    if os.path.exists(report):
        os.remove(report)
    # The program knows only the compiled-in deployment addresses, which the demo and the
    # end-to-end tests use too: another service there would serve this run.
    if scenario.wait_listening(*DOWNLOAD_ADDRESS, timeout=0.5):
        raise SystemExit("whole install: another service listens on %s:%d (a demo or end-to-end "
                         "run?); try again when it is done" % DOWNLOAD_ADDRESS)
    log = open(os.path.join(work, "service.log"), "wb")
    server = subprocess.Popen([service, "serve", "--package", package, "--drain", "0"], stdout=log,
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
            install = run.install_dir()
            previous = install + ".previous"
            # An earlier install of the same tree, for the replace to move aside and delete.
            shutil.copytree(os.path.join(work, "tree"), install)
            if not reusable:
                for d, _, fs in os.walk(install):
                    for name in fs:
                        with open(os.path.join(d, name), "ab") as f:
                            f.write(b"\0")
            with open(os.path.join(install, "module.info"), "wb") as f:
                f.write(b"\0" * 8)
            # Written out now, not by the kernel during the download.
            os.sync()
            # As Window.click_button does, with the clock started just before the press itself
            # (the download is under way before xdotool returns).
            run.window.point_at_button()
            cpu_start = cpu_seconds(CPU_NAMES)
            t = {"click": time.perf_counter()}
            run.window.press()
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
                        t["cpu"] = {n: cpu_end[n] - cpu_start[n] for n in CPU_NAMES + (STOLEN,)}
                        run.window.hover((20, 150))
                elif "placed" not in t:
                    if xcopy_running():
                        xcopy_seen.append(now)
                    if (os.path.exists(os.path.join(install, "module.info"))
                            and not os.path.exists(os.path.join(staging, "module.info"))):
                        t["placed"] = now
                else:
                    if "open" not in t and run.window.shows_button():
                        t["open"] = time.perf_counter()
                    if "deleted" not in t and not os.path.exists(previous):
                        t["deleted"] = now
                    if "open" in t and "deleted" in t:
                        break
                time.sleep(0.02)
            if "deleted" not in t or "open" not in t or not run.installed():
                raise SystemExit("whole install: the installation did not complete: %s" % t)
            run.click_close()
            run.installer.wait(60)
            installed = tree_bytes(run.install_dir())
            t["check ms"] = check_ms(run.install_dir())
            t["reuse ms"] = log_figure(run.install_dir(), b"OnReuseDone")
            t["sent"] = files_sent(os.path.join(work, "service.log"))
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
    parser.add_argument("--update", type=int, default=0, metavar="N",
                        help="with --signed: also an update to a version with N files changed, "
                        "over an install of the first version")
    parser.add_argument("--update-kind", default="replaced", choices=["replaced", "insert", "append"],
                        help="the update's files rewritten whole, with 100 bytes inserted in "
                        "their middle, or every file with 64 bytes appended (--update ignored)")
    parser.add_argument("--chunk-kib", type=int, default=None,
                        help="the average chunk size both versions are packed with")
    parser.add_argument("--runs", type=int, default=3, help="installs (and unzips) to take the "
                        "median of; the machine is shared")
    args = parser.parse_args()
    if args.signed:
        args.work += "-signed"
    os.makedirs(args.work, exist_ok=True)
    signing_key = (scenario.WindowsBuild(args.windows_build, args.arch, signed=True).signing_key
                   if args.signed else None)
    prepare(args.work, args.service, args.mib, args.files, signing_key, args.chunk_kib)
    if args.update and not args.signed:
        raise SystemExit("whole install: --update needs --signed (only a program with a key "
                         "reuses an earlier install)")
    if args.update:
        prepare_update(args.work, args.service, signing_key, args.update, args.update_kind,
                       args.chunk_kib)
    tree = os.path.join(args.work, "tree")
    size = tree_bytes(tree)
    nfiles = sum(len(fs) for _, _, fs in os.walk(tree))
    zipped = os.path.getsize(os.path.join(args.work, "tree.zip"))

    phases = {name: [] for name in ("download", "replace", "open", "delete", "total", "first",
                                    "xcopy", "unzip", "remove")}
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
        phases["replace"].append(t["placed"] - t["downloaded"])
        phases["open"].append(t["open"] - t["click"])
        # The delete starts as the new install is in place, and nobody waits for it.
        phases["delete"].append(max(0.0, t["deleted"] - t["placed"]))
        phases["total"].append(max(t["deleted"], t["open"]) - t["click"])
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
        "%s %.2f s" % (n, median([c[n] for c in cpu])) for n in CPU_NAMES + (STOLEN,)))
    line("replace", "replace", rate=False,
         extra="  by XCOPY, which ran %.2f s" % m["xcopy"] if "xcopy" in m else "  by rename")
    line("time to \"Open\"", "open")
    line("old install delete", "delete", rate=False, extra="  after \"Open\", off the window thread")
    line("total", "total")
    line("unzip of the tree", "unzip", extra="  the same tree from its zip")
    line("rm -rf of the tree", "remove", rate=False)
    print("  total / unzip       %6.1fx" % (m["total"] / m["unzip"]))
    if peaks:
        print("  peak working set    %6.1f MiB (GetProcessMemoryInfo; largest of the runs)"
              % (max(peaks) / MIB))
    else:
        print("  peak working set    not read")
    if args.update:
        return report_update(args, size)
    return 0


def report_update(args, size):
    """Updates from the first version, installed, to one with --update files changed."""
    runs = []
    for _ in range(args.runs):
        t, _, installed, _ = run_install(args.work, args.service, args.windows_build, args.arch,
                                         args.launcher, signed=True, package_name="package-v2",
                                         reusable=True)
        if installed < size:
            print("whole install: FAILED: the update left %d of %d bytes" % (installed, size))
            return 1
        runs.append(t)
    med = lambda key: median([key(t) for t in runs])  # noqa: E731
    files, mb = runs[0]["sent"]
    what = {"replaced": "%d of those files rewritten" % args.update,
            "insert": "100 bytes inserted in the middle of %d of those files" % args.update,
            "append": "64 bytes appended to every file"}[args.update_kind]
    print("update to a version with %s, over an install of the first (median of %d runs)"
          % (what, args.runs))
    print("  sent by the service   %d transfers of module files or ranges, %.2f MB (the manifest "
          "included), %.2f %% of the package" % (files, mb, 100 * mb * 1e6 / size))
    print("  download + reuse      %6.2f s   the manifest, the install hashed and copied, the rest"
          % med(lambda t: t["downloaded"] - t["click"]))
    reuse = [t["reuse ms"] for t in runs if t.get("reuse ms") is not None]
    print("    hashing and copying the install: %s ms (median)"
          % (median(reuse) if reuse else "not read"))
    print("  time to \"Open\"        %6.2f s" % med(lambda t: t["open"] - t["click"]))
    print("  total                 %6.2f s" % med(lambda t: max(t["deleted"], t["open"]) - t["click"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
