"""End-to-end tests: the reference service with the demo package, quillbank-setup.exe under Wine
on a private Xvfb, clicks on its window as a person makes them, and checks of everything the
installation leaves behind. Prints one line per case and the time the suite took."""
import argparse
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qbdrive  # noqa: E402
import scenario  # noqa: E402

WORK = None
PROBE = None
BUILD = None
SIGNED = None


class CaseFailed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise CaseFailed(message)


def package(folder=None):
    with open(os.path.join(folder or scenario.DEMO_PACKAGE, "package.json"), encoding="utf-8") as f:
        return json.load(f)


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def find_case_insensitive(folder, relative):
    """Wine matches names without regard to case; so do we when looking at its files."""
    here = folder
    for part in relative.replace("\\", "/").split("/"):
        if not os.path.isdir(here):
            return None
        match = [n for n in os.listdir(here) if n.lower() == part.lower()]
        if not match:
            return None
        here = os.path.join(here, match[0])
    return here


def probe(run, what, text):
    env = run.prefix.env(run.display, run.lang)
    result = subprocess.run(run.prefix.wine(PROBE, what, text), env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, timeout=60)
    return result.returncode == 0, result.stdout.strip()


def expect_text(run, what, text, timeout=20):
    last = ""
    if what == "button":
        # The probe draws the button as it looks without the pointer on it.
        run.window.hover((20, 150))
    deadline = time.time() + timeout
    while time.time() < deadline:
        ok, last = probe(run, what, text)
        if ok:
            run.screenshot("%s-%s" % (what, "".join(c if c.isalnum() else "_" for c in text)))
            return
        time.sleep(0.5)
    run.screenshot("unexpected-%s" % what)
    raise CaseFailed("the window does not show %r in its %s (%s)" % (text, what, last))


def check_installed_files(run, pkg):
    install = run.install_dir()
    build = run.build
    for m in pkg["modules"]:
        relative = (m["folder"] + m["file"]).replace("\\", "/")
        target = find_case_insensitive(install, relative)
        if m["kind"] == "D":
            check(target is None, "module of kind D was downloaded: " + relative)
            continue
        check(target is not None, "module file missing: " + relative)
        source = os.path.join(build.package_dir, m["source"])
        check(digest(target) == digest(source), "module file differs: " + relative)
    with open(os.path.join(install, "module.info"), "rb") as f:
        info = f.read()
    n = len(pkg["modules"])
    check(len(info) == 8 + 79 * n, "module.info has %d bytes for %d modules" % (len(info), n))
    part3, part4 = struct.unpack("<ii", info[:8])
    check((part3, part4) == (pkg["version_part3"], pkg["version_part4"]),
          "module.info holds version %d.%d" % (part3, part4))
    with open(find_case_insensitive(install, "update.ini"), "rb") as f:
        ini = f.read()
    want = b"cur=9.3.%d.%d" % (pkg["version_part3"], pkg["version_part4"])
    check(want in ini, "update.ini: %r" % ini)
    log_path = find_case_insensitive(install, "log/install.log")
    check(log_path is not None, "no log\\install.log in the install folder")
    with open(log_path, "rb") as f:
        lines = f.read().split(b"\r\n")
    colon = b"\xa3\xba"
    expected_order = [b"OnButtonClick" + colon + b"Connect Success",
                      b"ProcessCheck" + colon + b"QryCheckUpdate",
                      b"ProcessCheck" + colon + b"QryCheckModule",
                      b"ProcessCheck" + colon + b"KesPublish_L_PkgModuleCheck_Rsp",
                      b"OnModuleDL" + colon + b"Connect",
                      b"ProcessDL" + colon + b"DownloadModule",
                      b"ProcessCheck" + colon + b"KesPublish_L_FileDownload_Rsp"]
    position = 0
    for want_line in expected_order:
        found = [i for i, line in enumerate(lines) if line == want_line and i >= position]
        check(found, "install.log lacks %r in order" % want_line)
        position = found[0]
    check(not os.path.exists(run.staging_dir()), "staging folder left behind")
    if any(m["folder"].lower().startswith("config") for m in pkg["modules"]):
        for name in ("quillbank.Default.pub", "quillbank.Default.pri"):
            check(find_case_insensitive(install, "config/" + name) is not None, name + " missing")
    links = [n for n in os.listdir(run.prefix.desktop()) if n.endswith(".lnk")]
    check(links, "no desktop shortcut")
    with open(os.path.join(run.prefix.desktop(), links[0]), "rb") as f:
        link = f.read()
    check("quillbank ix.exe".encode("utf-16-le") in link or b"quillbank ix.exe" in link,
          "the shortcut does not point at quillbank ix.exe")


def snapshot(folder):
    result = {}
    for base, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(base, name)
            result[os.path.relpath(path, folder)] = digest(path)
    return result


def earlier_install(run):
    """Installs once and returns the snapshot of the install folder (launch record left out)."""
    problems = run.install_and_open()
    check(not problems, "first install: " + "; ".join(problems))
    os.remove(os.path.join(run.install_dir(), "launch.txt"))
    return snapshot(run.install_dir())


def close_ends_with_zero(run):
    run.click_close()
    check(run.installer.wait(30) == 0, "installer did not exit 0 after the close box")


# -- the cases ---------------------------------------------------------------------------------

def case_full_install_win7(display):
    pkg = package()
    with scenario.InstallerRun(BUILD, os.path.join(WORK, "full-win7"), display=display,
                               windows_version="win7") as run:
        problems = run.install_and_open()
        check(not problems, "; ".join(problems))
        check_installed_files(run, pkg)
        depend = run.depend_dir()
        check(os.path.isdir(depend) and os.listdir(depend), "base archive not unpacked")
        path = run.prefix.user_path_value() or ""
        check("QuillbankDependBase" in path, "user Path lacks the dependency folder: %r" % path)
        check(run.launch_record().endswith("end"), "terminal command line")


def case_signed_package_installs(display):
    with scenario.InstallerRun(SIGNED, os.path.join(WORK, "signed"), display=display) as run:
        problems = run.install_and_open()
        check(not problems, "; ".join(problems))
        pkg = package(SIGNED.package_dir)
        check(any(m["file"] == "package.manifest" for m in pkg["modules"]),
              "the signed package has no manifest module")
        check_installed_files(run, pkg)
        depend = run.depend_dir()
        check(os.path.isdir(depend) and os.listdir(depend), "base archive not unpacked")


def case_tampered_package_fails(display):
    work = os.path.join(WORK, "tampered")
    with scenario.InstallerRun(SIGNED, work, display=display) as run:
        before = earlier_install(run)
        depend_before = snapshot(run.depend_dir())
        run.service.stop()
        # One byte of one file flipped on its way: the manifest still says what it should be.
        run.service_args = ["--corrupt-module", "SH600000.day"]
        run.start_the_service()
        # The install log goes with the staging folder; the failure's line is also debug output,
        # which Wine's debugstr channel writes to the program's output.
        run.prefix.base_env["WINEDEBUG"] = "-all,+debugstr"
        run.start_installer()
        run.click_button()
        expect_text(run, "status", "Package check failed", timeout=120)
        run.screenshot("package-check-failed")
        with open(os.path.join(work, "installer.out"), "rb") as f:
            output = f.read()
        check(b"Package Check Faile Data\\\\Quotes\\\\SH600000.day" in output,
              "no debug line names the file that failed")
        check(not os.path.exists(run.staging_dir()), "staging folder left behind")
        check(snapshot(run.install_dir()) == before, "the earlier install changed")
        check(snapshot(run.depend_dir()) == depend_before, "the dependency folder changed")
        close_ends_with_zero(run)


def case_win10_and_simplified_chinese(display):
    with scenario.InstallerRun(BUILD, os.path.join(WORK, "win10-zh_CN"), display=display,
                               windows_version="win10", lang="zh_CN.UTF-8") as run:
        run.start_installer()
        expect_text(run, "button", "安装")
        run.installer.stop()
        run.installer = None
        problems = run.install_and_open()
        check(not problems, "; ".join(problems))
        check(not os.path.exists(run.depend_dir()), "base archive fetched on Windows 10")
        check(run.prefix.user_path_value() is None, "user Path changed on Windows 10")


def case_refused_update(display):
    with scenario.InstallerRun(BUILD, os.path.join(WORK, "refused-update"), display=display,
                               service_args=["--refuse-update", "5"]) as run:
        run.start_installer()
        expect_text(run, "button", "Install")
        run.click_button()
        expect_text(run, "status", "Install Fail,Error Code:5")
        check(not os.path.exists(run.install_dir()), "install folder created")


def case_refused_login_traditional(display):
    with scenario.InstallerRun(BUILD, os.path.join(WORK, "refused-login-zh_TW"), display=display,
                               service_args=["--refuse-login"], lang="zh_TW.UTF-8") as run:
        run.start_installer()
        expect_text(run, "button", "安裝")
        run.click_button()
        expect_text(run, "status", "安裝失敗")


def case_dropped_download_keeps_earlier_install(display):
    work = os.path.join(WORK, "dropped")
    with scenario.InstallerRun(BUILD, work, display=display) as run:
        before = earlier_install(run)
        run.service.stop()
        # Every connection drops: the first and its three reconnections.
        run.service_args = ["--drop-after", "2000"]
        run.start_the_service()
        run.start_installer()
        run.click_button()
        expect_text(run, "status", "Install Fail,Server Link Fail", timeout=120)
        check(service_log_count(run, "dropped on purpose after 2000 chunks") >= 4,
              "the service did not see four download connections dropped")
        check(not os.path.exists(run.staging_dir()), "staging folder left behind")
        check(snapshot(run.install_dir()) == before, "the earlier install changed")
        close_ends_with_zero(run)
        # The earlier install still works: its terminal starts.
        terminal = qbdrive.Process(run.prefix.wine(os.path.join(run.install_dir(), scenario.TERMINAL), "end"),
                                   run.prefix.env(run.display), os.path.join(work, "terminal.out"))
        started = qbdrive.wait_until(lambda: run.launch_record() is not None, 30)
        terminal.stop()
        check(started, "the earlier install's terminal does not start")


def case_no_server(display):
    with scenario.InstallerRun(BUILD, os.path.join(WORK, "no-server"), display=display,
                               start_service=False) as run:
        run.start_installer(timeout=90)
        expect_text(run, "button", "Install")
        run.click_button()
        expect_text(run, "status", "Install Fail,Server Link Fail", timeout=60)
        close_ends_with_zero(run)


def case_reinstall_ends_running_terminal(display):
    work = os.path.join(WORK, "reinstall")
    with scenario.InstallerRun(BUILD, work, display=display) as run:
        problems = run.install_and_open()
        check(not problems, "first install: " + "; ".join(problems))
        marker = os.path.join(run.install_dir(), "left-over.txt")
        with open(marker, "w") as f:
            f.write("from the first install")
        # A terminal running from the installer's own folder.
        exe_dir = os.path.dirname(BUILD.installer)
        running_copy = os.path.join(exe_dir, scenario.TERMINAL)
        shutil.copyfile(os.path.join(run.install_dir(), scenario.TERMINAL), running_copy)
        try:
            terminal = qbdrive.Process(run.prefix.wine(running_copy, "running"),
                                       run.prefix.env(run.display),
                                       os.path.join(work, "terminal.out"))
            # It records its command line beside itself once it runs.
            check(qbdrive.wait_until(
                      lambda: os.path.exists(os.path.join(exe_dir, "launch.txt")), 60),
                  "the stand-in terminal did not start")
            check(terminal.running(), "the stand-in terminal did not stay up")
            problems = run.install_and_open()
            check(not problems, "reinstall: " + "; ".join(problems))
            check(not os.path.exists(marker), "the reinstall did not replace the install")
            check(terminal.wait(30) is not None, "the running terminal was not ended")
        finally:
            terminal.stop()
            if os.path.exists(running_copy):
                os.remove(running_copy)
            launch = os.path.join(exe_dir, "launch.txt")
            if os.path.exists(launch):
                os.remove(launch)



# -- the end states stay honest ----------------------------------------------------------------

def first_update_host_order(seconds):
    """The order in which the installer tries the update hosts 1..3 when its click is handled at
    `seconds` (Unix time): it seeds the C runtime's generator with the time and starts at
    rand() % 3. The runtime's rand is the classic linear congruential one."""
    seed = (seconds * 214013 + 2531011) & 0xFFFFFFFF
    start = (seed >> 16) & 0x7FFF
    start %= 3
    return [((start + i) % 3) + 1 for i in range(3)]


def click_when_host_is_tried_last(run, host):
    """Clicks "Install" so that the click is handled in a second whose order tries `host` last:
    the two hosts before it refuse. The pointer rests on the button first, and the second after
    the click's must agree too, which leaves a slow machine a second of room."""
    run.window.hover(qbdrive.BUTTON_CENTRE)
    deadline = time.time() + 120
    while time.time() < deadline:
        now = time.time()
        second = int(now)
        if now - second < 0.2 and all(first_update_host_order(t)[2] == host
                                      for t in (second, second + 1)):
            run.window.press()
            return
        time.sleep(0.02)
    raise CaseFailed("no second found that tries host %d last" % host)


def case_check_link_lost_during_download(display):
    work = os.path.join(WORK, "check-lost-during-download")
    with scenario.InstallerRun(BUILD, work, display=display) as run:
        before = earlier_install(run)
        run.service.stop()
        # Only update host 3 answers; hosts 1 and 2 refuse. The check connection is closed once
        # the module list is out: with the two refusals, the third loss of the check link.
        run.service_args = ["--update", "127.0.0.23:31711", "--drop-check-after-list"]
        run.start_the_service()
        run.start_installer()
        expect_text(run, "button", "Install")
        click_when_host_is_tried_last(run, 3)
        expect_text(run, "status", "Install Fail,Server Link Fail", timeout=120)
        # Whatever the download still delivers changes nothing on screen or on disk.
        check(run.service.wait(0) is None, "the service stopped")
        run.screenshot("4-still-failed")
        check(not run.showing_button(), "a button is shown after the failure")
        check(not os.path.exists(run.staging_dir()), "staging folder left behind")
        check(snapshot(run.install_dir()) == before, "the earlier install changed")
        close_ends_with_zero(run)


def case_drops_after_installed(display):
    work = os.path.join(WORK, "drops-after-installed")
    with scenario.InstallerRun(BUILD, work, display=display,
                               service_args=["--drop-all-after-download"]) as run:
        run.start_installer()
        expect_text(run, "button", "Install")
        run.click_button()
        expect_text(run, "button", "Open", timeout=240)
        # Every connection of the service is gone, and the service with them.
        run.service.stop()
        run.service = None
        run.screenshot("4-open-after-drops")
        expect_text(run, "button", "Open")
        check(run.window.exists(), "the window went away")
        run.click_button()
        check(run.installer.wait(30) == 0, "the installer did not exit 0 after \"Open\"")
        check(qbdrive.wait_until(lambda: run.launch_record() is not None, 30),
              "the terminal did not start")
        check(run.launch_record().endswith("end"), "terminal command line")


def case_stalled_download(display):
    work = os.path.join(WORK, "stalled")
    with scenario.InstallerRun(BUILD, work, display=display,
                               service_args=["--stall-after", "300"]) as run:
        run.start_installer()
        expect_text(run, "button", "Install")
        run.click_button()
        # Each connection falls silent: the watchdog's time four times (the first connection and
        # three reconnections) and the pauses, plus generous slack for a busy machine.
        expect_text(run, "status", "Install Fail,Server Link Fail", timeout=400)
        check(service_log_count(run, "stalled on purpose after 300 chunks") >= 4,
              "the service did not see four stalled download connections")
        check(not os.path.exists(run.staging_dir()), "staging folder left behind")
        check(not os.path.exists(run.install_dir()), "an install folder appeared")
        close_ends_with_zero(run)


def case_disk_full(display):
    work = os.path.join(WORK, "disk-full")
    with scenario.InstallerRun(BUILD, work, display=display) as run:
        before = earlier_install(run)
        # The staging folder on an 8 MB file system: the 35 MB package fills it half-way.
        staging = run.staging_dir()
        os.makedirs(staging, exist_ok=True)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "qb-e2e-full", staging],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        check(mounted.returncode == 0, "cannot mount a small tmpfs (needs root): "
              + mounted.stdout.strip())
        try:
            run.start_installer()
            expect_text(run, "button", "Install")
            run.click_button()
            expect_text(run, "status", "Install Fail", timeout=180)
            check(not run.showing_button(), "a button is shown after the failure")
            check(snapshot(run.install_dir()) == before, "the earlier install changed")
            left = [n for n in os.listdir(staging)]
            check(not left, "the full staging folder still holds %r" % left)
            close_ends_with_zero(run)
        finally:
            run.stop()
            subprocess.run(["umount", "-l", staging], check=False)

def service_log_count(run, text):
    """Lines holding `text` that the service logged since it last started (the log file is
    appended to by every run in the case folder). The service listens on the machine's fixed
    deployment addresses, so another installer on the same machine may add lines: callers
    treat the count as a lower bound."""
    with open(os.path.join(run.work_dir, "service.log"), encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    starts = [i for i, line in enumerate(lines) if "installers are sent to download server" in line]
    return sum(1 for line in lines[starts[-1] if starts else 0:] if text in line)


def half_way_chunks(pkg):
    """The chunk record in the middle of the module download of the package."""
    chunks = 0
    folder = BUILD.package()
    for m in pkg["modules"]:
        if m["kind"] != "D":
            size = os.path.getsize(os.path.join(folder, m["source"]))
            chunks += max(1, -(-size // 1001))
    return chunks // 2


def log_lines(run):
    with open(find_case_insensitive(run.install_dir(), "log/install.log"), "rb") as f:
        return f.read().split(b"\r\n")


def case_one_drop_resumes(display):
    pkg = package()
    drop_after = half_way_chunks(pkg)
    with scenario.InstallerRun(BUILD, os.path.join(WORK, "one-drop-resumes"), display=display,
                               service_args=["--drop-after", str(drop_after),
                                             "--drop-connections", "1"]) as run:
        problems = run.install_and_open()
        check(not problems, "; ".join(problems))
        check_installed_files(run, pkg)
        check(service_log_count(run, "dropped on purpose after %d chunks" % drop_after) >= 1,
              "the service did not drop the download")
        check(service_log_count(run, "module download:") >= 2,
              "the service did not get two module requests")
        lines = log_lines(run)
        colon = b"\xa3\xba"
        check(lines.count(b"ProcessDL" + colon + b"DownloadModule") == 2,
              "install.log does not show two module requests")
        check(b"OnDLDisconnect" + colon + b"Reconnect 1 of 3 in 1000 ms" in lines,
              "install.log does not show the reconnection")
        again = [l for l in lines if l.startswith(b"ProcessDL" + colon + b"DownloadModule Again ")]
        wanted = sum(1 for m in pkg["modules"] if m["kind"] != "D")
        check(len(again) == 1 and 0 < int(again[0].split()[-1]) < wanted,
              "install.log: second request %r of %d modules" % (again, wanted))


def case_reconnecting_shown_in_three_languages(display):
    pkg = package()
    for lang, text in (("C.UTF-8", "Reconnecting"), ("zh_CN.UTF-8", "正在重新连接"),
                       ("zh_TW.UTF-8", "正在重新連線")):
        work = os.path.join(WORK, "reconnecting-" + lang.split(".")[0])
        release = os.path.join(work, "release")
        os.makedirs(work, exist_ok=True)
        if os.path.exists(release):
            os.remove(release)
        with scenario.InstallerRun(BUILD, work, display=display, lang=lang,
                                   service_args=["--drop-after", str(half_way_chunks(pkg)),
                                                 "--drop-connections", "1",
                                                 "--hold-reauth-until", release]) as run:
            run.start_installer()
            check(qbdrive.wait_until(run.showing_button, 30), "the window never showed its button")
            run.click_button()
            # The new connection waits for its link reply until the file exists: the text stays.
            check(qbdrive.wait_until(
                lambda: service_log_count(run, "authentication link reply held on purpose") >= 1,
                180), "no reconnection reached the service")
            expect_text(run, "percent", text, timeout=60)
            with open(release, "w") as f:
                f.write("go")
            expect_text(run, "button", {"C.UTF-8": "Open", "zh_CN.UTF-8": "打开"}.get(lang, "打開"),
                        timeout=240)


CASES = [
    ("full install on Windows 7 (base archive, user Path), English", case_full_install_win7),
    ("Windows 10: no base archive, Path untouched; Simplified Chinese", case_win10_and_simplified_chinese),
    ("refused update shows its error code", case_refused_update),
    ("refused login; Traditional Chinese", case_refused_login_traditional),
    ("signed package: the demo deployment's program installs it", case_signed_package_installs),
    ("tampered package: Package check failed, earlier install intact", case_tampered_package_fails),
    ("download dropped four times keeps the earlier install", case_dropped_download_keeps_earlier_install),
    ("download dropped once half-way resumes: Open, files identical", case_one_drop_resumes),
    ("reconnecting shown in three languages", case_reconnecting_shown_in_three_languages),
    ("no server reachable", case_no_server),
    ("reinstall replaces, ends a running terminal", case_reinstall_ends_running_terminal),
    ("check link lost during the download after two refusals: Failed stays",
     case_check_link_lost_during_download),
    ("every connection dropped after Installed: still Open", case_drops_after_installed),
    ("download stalls: the watchdog fails it", case_stalled_download),
    ("disk full during the download: Failed, earlier install intact", case_disk_full),
]


def main():
    global PROBE, BUILD, SIGNED, WORK
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("--build-dir", required=True, help="the Windows build folder")
    parser.add_argument("--arch", required=True, choices=["win32", "win64"])
    parser.add_argument("-k", default="", help="run only cases whose name contains this")
    args = parser.parse_args()
    PROBE = args.probe
    BUILD = scenario.WindowsBuild(args.build_dir, args.arch)
    SIGNED = scenario.WindowsBuild(args.build_dir, args.arch, signed=True)
    WORK = os.path.join(BUILD.dir, "e2e", "cases")
    os.makedirs(WORK, exist_ok=True)
    start = time.time()
    display = qbdrive.Display(private=True)
    failures = 0
    try:
        for name, case in CASES:
            if args.k and args.k not in name:
                continue
            t0 = time.time()
            scenario.PREFIXES.clear()
            try:
                case(display)
                print("PASS  %-70s %5.1f s" % (name, time.time() - t0), flush=True)
                # A passed case's prefix (some 600 MB) is of no further use; a failed one's is.
                for prefix in scenario.PREFIXES:
                    shutil.rmtree(prefix, ignore_errors=True)
            except Exception as e:  # noqa: BLE001 - every failure is reported, the suite goes on
                failures += 1
                scenario.PREFIXES.clear()
                print("FAIL  %-70s %5.1f s: %s" % (name, time.time() - t0, e), flush=True)
                if not isinstance(e, CaseFailed):
                    traceback.print_exc()
    finally:
        display.stop()
    ran = sum(1 for name, _ in CASES if args.k in name)
    print("e2e: %d of %d cases passed in %.0f s" % (ran - failures, ran, time.time() - start))
    for base, _, files in sorted(os.walk(WORK)):
        for name in sorted(files):
            if name.endswith(".png"):
                print("e2e: screenshot " + os.path.join(base, name))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
