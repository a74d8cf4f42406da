"""End-to-end tests: the reference service with the demo package, quillbank-setup.exe under Wine
on a private Xvfb, clicks on its window as a person makes them, and checks of everything the
installation leaves behind. Prints one line per case and the time the suite took."""
import argparse
import hashlib
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "packaging"))
import qbdrive  # noqa: E402
import scenario  # noqa: E402
import winget_manifest  # noqa: E402

# The program's exit codes, by name without "kExit", from the one table the program has.
with open(os.path.join(scenario.ROOT, "app", "exit_codes.h"), encoding="utf-8") as _header:
    EXIT = {name[len("kExit"):]: value
            for name, value in winget_manifest.parse_exit_codes(_header.read())}
# Wine hands a program's exit code to its Unix parent, which keeps the low 8 bits: the table's
# codes differ in them, so that a case run straight under Wine still tells them apart.
assert len({value & 0xFF for value in EXIT.values()}) == len(EXIT), "exit codes alike mod 256"

WORK = None
PROBE = None
HOLD = None
PLANTED = None
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
        run.window.move_off_button()
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
    # "Connect Success" is the window thread's line; the check connection's receive thread may
    # log its first request before it: present, in no fixed order with the next.
    check(b"OnButtonClick" + colon + b"Connect Success" in lines,
          "install.log lacks the connect line")
    expected_order = [b"ProcessCheck" + colon + b"QryCheckUpdate",
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


def close_ends_with(run, name):
    """The close box after the install ended: the program exits with the code named."""
    run.click_close()
    code = run.installer.wait(30)
    check(code == EXIT[name] & 0xFF,
          "the installer exited with %r after the close box, not %s (%d)" % (code, name, EXIT[name]))


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


def update_against_fault(run, fault_args, debugstr=False):
    """After an earlier signed install with SH600000.day rewritten in it (other bytes of its size,
    so that the update downloads that file whole: none of its chunks is left to build it from),
    the update against the service with `fault_args`, "Install" clicked. Returns the install
    folder and the dependency folder as they were."""
    earlier_install(run)
    path = os.path.join(run.install_dir(), "Data", "Quotes", "SH600000.day")
    size = os.path.getsize(path)
    with open(path, "wb") as f:
        f.write(hashlib.sha256(b"edited").digest() * (size // 32) + b"e" * (size % 32))
    before = snapshot(run.install_dir()), snapshot(run.depend_dir())
    run.service.stop()
    run.service_args = list(fault_args)
    run.start_the_service()
    if debugstr:
        # The install log goes with the staging folder; the failure's line is also debug output,
        # which Wine's debugstr channel writes to the program's output.
        run.prefix.base_env["WINEDEBUG"] = "-all,+debugstr"
    run.start_installer()
    run.click_button()
    return before


def check_earlier_install_kept(run, before):
    """A failed update left nothing behind and changed neither folder; the window closes."""
    check(not os.path.exists(run.staging_dir()), "staging folder left behind")
    check(snapshot(run.install_dir()) == before[0], "the earlier install changed")
    check(snapshot(run.depend_dir()) == before[1], "the dependency folder changed")
    close_ends_with(run, "PackageCheckFailed")


def case_tampered_package_fails(display):
    work = os.path.join(WORK, "tampered")
    with scenario.InstallerRun(SIGNED, work, display=display) as run:
        # One byte of one file flipped on its way: the manifest still says what it should be.
        before = update_against_fault(run, ["--corrupt-module", "SH600000.day"], debugstr=True)
        expect_text(run, "status", "Package check failed", timeout=120)
        run.screenshot("package-check-failed")
        with open(os.path.join(work, "installer.out"), "rb") as f:
            output = f.read()
        check(b"Package Check Faile Data\\\\Quotes\\\\SH600000.day" in output,
              "no debug line names the file that failed")
        check_earlier_install_kept(run, before)


def case_oversized_file_refused_at_its_chunk(display):
    """A server that sends more of a file than the signed manifest lists (it could fill the
    disk): the download fails at that chunk with "Package check failed", nothing past the listed
    size is written, and the earlier install is untouched."""
    work = os.path.join(WORK, "oversized")
    with scenario.InstallerRun(SIGNED, work, display=display) as run:
        before = update_against_fault(run, ["--grow-module", "SH600000.day"])
        expect_text(run, "status", "Package check failed", timeout=120)
        log = failed_log(run)
        check(b"SH600000.day: larger than the manifest lists" in log,
              "the failed attempt's log does not name the file: %r" % log[-400:])
        check_earlier_install_kept(run, before)


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
        close_ends_with(run, "NoServer")
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
        close_ends_with(run, "NoServer")


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

def update_hosts_tried(log):
    """The update hosts (1..3) that the click tried, in order: the install log has a line for
    each connect of the check connection, to the deployment's 127.0.0.2N:31711."""
    hosts = []
    for line in log.split(b"\r\n"):
        at = line.find(b"SocketSend_ip:127.0.0.2")
        if at >= 0 and line.endswith(b"__port:31711"):
            hosts.append(int(line[at + len(b"SocketSend_ip:127.0.0.2"):][:1]))
    return hosts


def case_check_link_lost_during_download(display):
    """Only update host 3 answers; hosts 1 and 2 refuse. The check connection is closed once the
    module list is out. The click starts at a host of the installer's own choosing, so the case
    reads the hosts it tried from its log: host 3 after both refusals makes the close the third
    loss of the check link, which fails the install, and whatever the download still delivers
    changes nothing; host 3 sooner makes it the first or second, and the install completes."""
    fail_text = "Install Fail,Server Link Fail"
    work = os.path.join(WORK, "check-lost-during-download")
    with scenario.InstallerRun(BUILD, work, display=display) as run:
        before = earlier_install(run)
        run.service.stop()
        run.service_args = ["--update", "127.0.0.23:31711", "--drop-check-after-list"]
        run.start_the_service()
        run.start_installer()
        expect_text(run, "button", "Install")
        run.click_button()

        def failed():
            return probe(run, "status", fail_text)[0]

        def opened():
            run.window.move_off_button()
            return probe(run, "button", "Open")[0]

        check(qbdrive.wait_until(lambda: failed() or opened(), 240, interval=0.5),
              "the window shows neither the failure nor \"Open\"")
        outcome = "Success"
        if failed():
            outcome = "NoServer"
            hosts = update_hosts_tried(failed_log(run))
            print("      update hosts tried: %s (failed)" % hosts, flush=True)
            check(hosts == [1, 2, 3], "failed after trying update hosts %s" % hosts)
            check(run.service.wait(0) is None, "the service stopped")
            run.screenshot("4-still-failed")
            expect_text(run, "status", fail_text)
            check(not run.showing_button(), "a button is shown after the failure")
            check(not os.path.exists(run.staging_dir()), "staging folder left behind")
            check(snapshot(run.install_dir()) == before, "the earlier install changed")
        else:
            hosts = update_hosts_tried(install_log_bytes(run))
            print("      update hosts tried: %s (installed)" % hosts, flush=True)
            check(hosts in ([3], [2, 3]), "installed after trying update hosts %s" % hosts)
            check(run.installed(), "\"Open\" shown before the install steps finished")
        close_ends_with(run, outcome)


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
        close_ends_with(run, "NoServer")


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
            # Wine shows a folder that is a mount point as a folder link (attributes 0x410, as a
            # Unix symbolic link), and a delete never enters a link: what the download wrote then
            # stays on the small file system. The earlier install is what matters here.
            left = [n for n in os.listdir(staging)]
            check(not left or os.path.ismount(staging),
                  "the full staging folder still holds %r" % left)
            close_ends_with(run, "DiskFull")
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


def install_log_bytes(run):
    """The install log that went into place with the install."""
    with open(find_case_insensitive(run.install_dir(), "log/install.log"), "rb") as f:
        return f.read()


def log_lines(run):
    return install_log_bytes(run).split(b"\r\n")


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


# -- interference: a second start, a replace cut short, files changed or held by others ----------

def case_folder(name, release_name):
    """The case's folder, and the path of a release file in it that is not there (yet)."""
    work = os.path.join(WORK, name)
    os.makedirs(work, exist_ok=True)
    release = os.path.join(work, release_name)
    if os.path.exists(release):
        os.remove(release)
    return work, release


def winpath(path):
    """The Windows name of a file of this machine (Wine's drive Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def staged_files(run):
    """Module files in the staging folder (its log left out), by relative path."""
    staging = run.staging_dir()
    found = set()
    for base, _, files in os.walk(staging):
        relative = os.path.relpath(base, staging)
        if relative.split(os.sep)[0] == "log":
            continue
        found.update(os.path.normpath(os.path.join(relative, n)) for n in files)
    return found


def start_clicked(run, program=None):
    """The installer (or `program`) started, Ready seen, "Install" clicked."""
    if program is None:
        run.start_installer()
    else:
        env = run.prefix.env(run.display, run.lang)
        run.installer = qbdrive.Process(run.prefix.wine(program), env,
                                        os.path.join(run.work_dir, "installer.out"))
        run.window = qbdrive.Window(run.display, timeout=60)
    check(qbdrive.wait_until(run.showing_button, 30), "the window never showed its button")
    run.click_button()


def restart_service(run, args):
    run.service.stop()
    run.service_args = list(args)
    run.start_the_service()


def held_last_file(run, timeout=120):
    """The service sent everything but the last module file, which it holds back."""
    check(qbdrive.wait_until(lambda: service_log_count(run, "last module file held on purpose") >= 1,
                             timeout), "the download never reached its last file")


def first_module(pkg):
    """The first module that is downloaded: never the one the service holds back."""
    return [m for m in pkg["modules"] if m["kind"] != "D"][0]


def failed_log(run):
    path = run.install_dir() + ".failed.log"
    check(os.path.isfile(path), "no %s after the failed attempt" % os.path.basename(path))
    with open(path, "rb") as f:
        return f.read()


def open_and_exit(run):
    check(qbdrive.wait_until(run.installed, 240), "the installation did not finish")
    check(qbdrive.wait_until(run.showing_button, 20), "no \"Open\" button after the installation")
    run.screenshot("installed")
    run.click_button()
    check(run.installer.wait(60) == 0, "the installer did not exit 0 after \"Open\"")


def case_second_start_during_download(display):
    work, release = case_folder("second-start", "release-last-file")
    pkg = package()
    with scenario.InstallerRun(BUILD, work, display=display,
                               service_args=["--hold-last-file-until", release]) as run:
        start_clicked(run)
        held_last_file(run)
        check(qbdrive.wait_until(lambda: len(staged_files(run)) > 1, 60), "nothing staged")
        staged = staged_files(run)
        # A window of the probe takes the foreground; the second start must give it back.
        env = run.prefix.env(run.display, run.lang)
        result = subprocess.run(run.prefix.wine(PROBE, "second-start", winpath(BUILD.installer)),
                                env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True, timeout=180)
        lines = [line for line in result.stdout.splitlines() if line.startswith("probe:")]
        with open(os.path.join(work, "second-start.txt"), "w") as f:
            f.write("\n".join(lines) + "\n")
        check(result.returncode == 0, "second start: %s" % (lines or result.stdout[-400:]))
        run.screenshot("after-second-start")
        check(staged <= staged_files(run), "the second start removed staged files")
        # As a deployment tool starts it: says another install runs, shows nothing, and leaves
        # the first alone.
        code, _, shown = run_watched(run, winpath(BUILD.installer), ["/verysilent"], 120,
                                     "quiet-second-start")
        check(code == EXIT["AnotherInstall"], "/verysilent beside a running install exited %d" % code)
        check(not shown, "/verysilent beside a running install showed %r" % shown)
        check(staged <= staged_files(run), "the quiet second start removed staged files")
        with open(release, "w") as f:
            f.write("go")
        open_and_exit(run)
        check_installed_files(run, pkg)
        check(b"\0" not in install_log_bytes(run), "the install log holds NUL bytes")


def case_killed_right_after_the_old_install_moved_aside(display):
    work = os.path.join(WORK, "killed-mid-replace")
    with scenario.InstallerRun(BUILD, work, display=display) as run:
        before = earlier_install(run)
        previous = run.install_dir() + ".previous"
        marker = run.install_dir() + ".paused"
        # The test build that stops for good once the old install is renamed aside.
        start_clicked(run, os.path.join(BUILD.dir, "bin", "quillbank-setup-pause.exe"))
        check(qbdrive.wait_until(lambda: os.path.exists(marker), 120), "the replace never began")
        # As a power cut: every process of the prefix gone at once.
        run.installer.stop(signal.SIGKILL)
        run.prefix.kill()
        os.remove(marker)
        check(not os.path.exists(run.install_dir()), "the install folder is still there")
        check(snapshot(previous) == before, "the old install is not whole as .previous")
        run.start_installer()
        check(qbdrive.wait_until(run.showing_button, 30), "the window never showed its button")
        check(snapshot(run.install_dir()) == before, "the old install is not back before any click")
        check(not os.path.exists(previous), ".previous is still there before any click")
        run.screenshot("old-install-back")
        run.click_button()
        open_and_exit(run)
        check_installed_files(run, package())
        check(not os.path.exists(previous), ".previous left after the install")
        check(b"Recovery: put " in install_log_bytes(run), "the log does not say what was recovered")


def case_staged_file_removed(display):
    work, release = case_folder("staged-file-removed", "release-last-file")
    pkg = package()
    victim = first_module(pkg)
    relative = victim["folder"] + victim["file"]
    size = os.path.getsize(os.path.join(BUILD.package(), victim["source"]))
    with scenario.InstallerRun(BUILD, work, display=display) as run:
        before = earlier_install(run)
        restart_service(run, ["--hold-last-file-until", release])
        start_clicked(run)
        held_last_file(run)

        def staged_whole():
            path = find_case_insensitive(run.staging_dir(), relative)
            return path if path and os.path.getsize(path) == size else None
        check(qbdrive.wait_until(staged_whole, 60), "%s never completed in staging" % relative)
        # As an antivirus program quarantining it.
        os.remove(staged_whole())
        with open(release, "w") as f:
            f.write("go")
        expect_text(run, "status", "Package check failed", timeout=120)
        run.screenshot("staged-file-removed")
        check(snapshot(run.install_dir()) == before, "the earlier install changed")
        check(not os.path.exists(run.staging_dir()), "staging folder left behind")
        log = failed_log(run)
        check(b"Staged File Check Faile " + relative.encode() + b": missing" in log,
              "the kept log does not name %s" % relative)
        close_ends_with(run, "PackageCheckFailed")


def case_held_file_during_replace(display):
    work, release = case_folder("held-during-replace", "release-hold")
    pkg = package()
    victim = first_module(pkg)
    with scenario.InstallerRun(BUILD, work, display=display) as run:
        before = earlier_install(run)
        held = find_case_insensitive(run.install_dir(), victim["folder"] + victim["file"])
        env = run.prefix.env(run.display, run.lang)
        holder = qbdrive.Process(run.prefix.wine(HOLD, winpath(held), winpath(release)), env,
                                 os.path.join(work, "holder.out"))
        try:
            check(qbdrive.wait_until(lambda: b"held" in open(os.path.join(work, "holder.out"), "rb").read(),
                                     60), "the file was never held")
            start_clicked(run)
            expect_text(run, "status", "Install Fail", timeout=180)
            run.screenshot("held-during-replace")
            check(snapshot(run.install_dir()) == before, "the earlier install changed")
            check(not os.path.exists(run.install_dir() + ".previous"), ".previous left")
            log = failed_log(run)
            check(b"held: " in log and victim["file"].encode() in log,
                  "the kept log does not name the held file")
        finally:
            with open(release, "w") as f:
                f.write("go")
            holder.wait(30)
            holder.stop()
        close_ends_with(run, "FileHeld")


def case_close_box_during_download(display):
    work = os.path.join(WORK, "close-while-downloading")
    with scenario.InstallerRun(BUILD, work, display=display) as run:
        before = earlier_install(run)
        # The last file never comes: the window stays in the download.
        restart_service(run, ["--hold-last-file-until", os.path.join(work, "never")])
        start_clicked(run)
        held_last_file(run)
        run.screenshot("downloading-with-close-box")
        close_ends_with(run, "Cancelled")
        check(snapshot(run.install_dir()) == before, "the earlier install changed")
        check(not os.path.exists(run.staging_dir()), "staging folder left behind")
        check(b"OnClose" in failed_log(run), "the kept log does not say the window was closed")


# -- behind a load balancer: service/haproxy.cfg as operators run it ---------------------------

HAPROXY = "/usr/sbin/haproxy"
HAPROXY_CONFIG = os.path.join(scenario.ROOT, "service", "haproxy.cfg")
# The instances that file sends connections to: every endpoint on the address, metrics on 9731.
BALANCED = ("127.0.1.1", "127.0.1.2")
BALANCER_DOWNLOAD = ("127.0.0.22", 31712)


def log_count(path, text):
    if not os.path.exists(path):
        return 0
    with open(path, encoding="utf-8", errors="replace") as f:
        return sum(1 for line in f if text in line)


class Balanced:
    """Two instances of the service behind HAProxy, as service/haproxy.cfg runs them: HAProxy
    holds the deployment's addresses, the instances listen on their own and name its download
    address. `serving(host)` gives an instance's package options; both hold the last file of a
    module request back until `release` exists."""

    def __init__(self, work, release, serving):
        check(os.access(HAPROXY, os.X_OK), "no %s (scripts/setup installs haproxy)" % HAPROXY)
        check(not scenario.wait_listening(*BALANCER_DOWNLOAD, timeout=0.5),
              "another service listens on %s:%d (another end-to-end run?)" % BALANCER_DOWNLOAD)
        self.work = work
        self.release = release
        self.serving = serving
        self.logs = {host: os.path.join(work, "service-%s.log" % host) for host in BALANCED}
        self.instances = {}
        self.balancer = None

    def __enter__(self):
        try:
            for host in BALANCED:
                if os.path.exists(self.logs[host]):
                    os.remove(self.logs[host])
                self.instances[host] = qbdrive.Process(
                    [scenario.SERVICE, "serve"] + self.serving(host) +
                    ["--log", self.logs[host], "--query", host, "--update", host,
                     "--download", host, "--advertise", "%s:%d" % BALANCER_DOWNLOAD,
                     "--metrics", host + ":9731", "--hold-last-file-until", self.release,
                     "--drain", "0"],
                    os.environ.copy(), self.logs[host] + ".out")
            for host in BALANCED:
                process = self.instances[host]
                check(qbdrive.wait_until(lambda: not process.running()
                                         or self.count(host, "serving") > 0, 30)
                      and process.running(), "instance %s did not start; see %s"
                      % (host, self.logs[host]))
            self.balancer = qbdrive.Process([HAPROXY, "-f", HAPROXY_CONFIG, "-db"],
                                            os.environ.copy(),
                                            os.path.join(self.work, "haproxy.out"))
            check(qbdrive.wait_until(lambda: not self.balancer.running()
                                     or scenario.wait_listening(*BALANCER_DOWNLOAD, timeout=0.5),
                                     30)
                  and self.balancer.running(), "HAProxy did not start; see " + self.balancer.log.name)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        if self.balancer is not None:
            self.balancer.stop()
        for process in self.instances.values():
            process.stop()

    def count(self, host, text):
        return log_count(self.logs[host], text)

    def holding(self):
        """The instance that holds the download's last file, once one does, and the other."""
        def held():
            return [h for h in BALANCED if self.count(h, "last module file held on purpose") > 0]
        check(qbdrive.wait_until(held, 180), "the download never reached its last file")
        victim = held()[0]
        return victim, [h for h in BALANCED if h != victim][0]

    def reload(self, host):
        """SIGHUP, as operators reload an instance; returns once it has read its folders."""
        done = self.count(host, "reload done")
        os.killpg(self.instances[host].proc.pid, signal.SIGHUP)
        check(qbdrive.wait_until(lambda: self.count(host, "reload done") > done, 30),
              "instance %s did not reload; see %s" % (host, self.logs[host]))

    def kill_and_release(self, host):
        """The instance killed (SIGKILL) while it holds the last file, then the file released:
        the installer's reconnection goes through HAProxy to the other."""
        self.instances[host].stop(signal.SIGKILL)
        with open(self.release, "w") as f:
            f.write("go")


def case_instance_killed_behind_haproxy(display):
    """Both instances hold the last file of a module request back; the one the download went to
    is killed while it holds it, the file is released, and the installer's reconnection goes
    through HAProxy to the other: the install completes, every file identical."""
    work, release = case_folder("behind-haproxy", "release-last-file")
    pkg = package()
    folder = BUILD.package()
    with Balanced(work, release, lambda host: ["--package", folder]) as balanced, \
            scenario.InstallerRun(BUILD, work, display=display, start_service=False) as run:
        start_clicked(run)
        victim, other = balanced.holding()
        balanced.kill_and_release(victim)
        open_and_exit(run)
        check_installed_files(run, pkg)
        check(balanced.count(other, "module download:") >= 1,
              "instance %s (alive) served no module request" % other)
        colon = b"\xa3\xba"
        lines = log_lines(run)
        check(b"OnDLDisconnect" + colon + b"Reconnect 1 of 3 in 1000 ms" in lines,
              "install.log does not show the reconnection")
        again = [l for l in lines
                 if l.startswith(b"ProcessDL" + colon + b"DownloadModule Again ")]
        check(len(again) == 1 and int(again[0].split()[-1]) >= 1,
              "install.log: the second request %r" % again)


# -- rolling upgrades: every version kept, announced last, an install bound to its version ------

def release_version(releases, part3, part4, changed=False, name=None):
    """Version P3.P4 of the demo package as a folder of `releases` (or `name` in it): the demo's
    files copied, with other bytes in every data file when `changed`, each module's record
    numbered by its file's SHA-256 as pack numbers it. Returns the folder."""
    base = BUILD.package()
    folder = os.path.join(releases, name or "%d.%d" % (part3, part4))
    if os.path.isdir(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    with open(os.path.join(base, "package.json"), encoding="utf-8") as f:
        pkg = json.load(f)
    for m in pkg["modules"]:
        target = os.path.join(folder, m["source"])
        os.makedirs(os.path.dirname(target) or folder, exist_ok=True)
        shutil.copyfile(os.path.join(base, m["source"]), target)
        if changed and m["kind"] == "F":
            with open(target, "ab") as f:
                f.write(b" changed in %d.%d" % (part3, part4))
        content = bytes.fromhex(digest(target))
        m["num1"], m["num2"] = struct.unpack("<ii", content[:8])
    if pkg.get("base_archive"):
        shutil.copyfile(os.path.join(base, pkg["base_archive"]),
                        os.path.join(folder, pkg["base_archive"]))
    pkg["version_part3"], pkg["version_part4"] = part3, part4
    with open(os.path.join(folder, "package.json"), "w", encoding="utf-8") as f:
        json.dump(pkg, f, ensure_ascii=False, indent=1)
    return folder


def announce(releases, version):
    with open(os.path.join(releases, "current"), "w") as f:
        f.write(version + "\n")


def releases_of(work, versions, current, linked=False):
    """An instance's releases folder per balanced host, each with `versions` (P3.P4 texts, the
    demo's content) and `current` announced. `linked`: each version folder is a link to a folder
    kept beside (as deployment tools that switch links publish)."""
    folders = {}
    for host in BALANCED:
        folders[host] = os.path.join(work, "releases-" + host)
        kept = os.path.join(work, "versions-" + host)
        for folder in (folders[host], kept):
            if os.path.isdir(folder):
                shutil.rmtree(folder)
        os.makedirs(folders[host])
        for version in versions:
            part3, part4 = (int(p) for p in version.split("."))
            if linked:
                target = release_version(kept, part3, part4, name=version + "-1")
                os.symlink(target, os.path.join(folders[host], version))
            else:
                release_version(folders[host], part3, part4)
        announce(folders[host], current)
    return folders


def switch_link(link, target):
    """`link` made to point at `target` in one step, as deployment tools switch a release."""
    fresh = link + ".new"
    os.symlink(target, fresh)
    os.replace(fresh, link)


def rolling_upgrade_keeps_the_started_version(display, kind):
    """An install of 5.17 is under way behind HAProxy when the instance it does not use is
    upgraded (the new version copied, the reload, then the switch of what is announced) and the
    one it downloads from is killed: the resumed download is served by the upgraded instance,
    and the install ends with "Open" and every file of 5.17."""
    work, release = case_folder("rolling-" + kind, "release-last-file")
    releases = releases_of(work, ["5.17"], "5.17", linked=kind == "republished")
    started = os.path.realpath(os.path.join(releases[BALANCED[0]], "5.17"))
    with Balanced(work, release, lambda host: ["--releases", releases[host]]) as balanced, \
            scenario.InstallerRun(BUILD, work, display=display, start_service=False) as run:
        start_clicked(run)
        victim, other = balanced.holding()
        if kind == "republished":
            # A hot fix under the served version's name, its link switched to it: refused at
            # the reload, the one served kept (it must be published as a new version).
            fix = release_version(os.path.join(work, "versions-" + other), 5, 17, changed=True,
                                  name="5.17-2")
            switch_link(os.path.join(releases[other], "5.17"), fix)
            balanced.reload(other)
            check(balanced.count(other, "version 5.17 refused") == 1,
                  "the republished 5.17 was not refused; see " + balanced.logs[other])
        else:
            part3, part4 = {"fourth-part": (5, 18), "third-part": (6, 17)}[kind]
            new = "%d.%d" % (part3, part4)
            release_version(releases[other], part3, part4, changed=True)
            balanced.reload(other)
            announce(releases[other], new)
            balanced.reload(other)
        balanced.kill_and_release(victim)
        open_and_exit(run)
        check_tree(run, started)
        check(balanced.count(other, "module download:") >= 1,
              "instance %s (upgraded) served no module request" % other)


def case_rolling_upgrade_to_a_higher_fourth_part(display):
    rolling_upgrade_keeps_the_started_version(display, "fourth-part")


def case_rolling_upgrade_to_a_higher_third_part(display):
    rolling_upgrade_keeps_the_started_version(display, "third-part")


def case_rolling_upgrade_republished_version_refused(display):
    rolling_upgrade_keeps_the_started_version(display, "republished")


def case_dropped_version_fails_honestly(display):
    """The operator drops 5.17 from the instance that will serve the resume (5.18 announced
    there): the resumed request for 5.17's records is refused, and the install fails saying so,
    with nothing of either version installed."""
    work, release = case_folder("rolling-dropped", "release-last-file")
    releases = releases_of(work, ["5.17"], "5.17")
    with Balanced(work, release, lambda host: ["--releases", releases[host]]) as balanced, \
            scenario.InstallerRun(BUILD, work, display=display, start_service=False) as run:
        start_clicked(run)
        victim, other = balanced.holding()
        release_version(releases[other], 5, 18, changed=True)
        announce(releases[other], "5.18")
        shutil.rmtree(os.path.join(releases[other], "5.17"))
        balanced.reload(other)
        check(balanced.count(other, "version 5.17 dropped") == 1,
              "5.17 was not dropped; see " + balanced.logs[other])
        balanced.kill_and_release(victim)
        expect_text(run, "status", "Install Fail,Error Code:4", timeout=120)
        check(balanced.count(other, "module download refused") == 1,
              "instance %s did not refuse the resumed download" % other)
        check(not os.path.exists(os.path.join(run.install_dir(), "module.info")),
              "an install was put in place")
        line = (b"ProcessDL\xa3\xbaDownload Refused 4: the version this install started with is "
                b"no longer served")
        check(line in failed_log(run).split(b"\r\n"), "the failed attempt's log does not say why")
        close_ends_with(run, "Failed")


def case_check_announced_download_not_yet(display):
    """The update check on an instance that announces 5.18, the download on one that holds 5.18
    but still announces 5.17 (the moment between two switches of a rolling upgrade): the install
    completes with 5.18. The instances are addressed directly, so that the check and the
    download land on the two each time."""
    work, _ = case_folder("announced-not-yet", "unused")
    folders = releases_of(work, ["5.17"], "5.17")
    for host in BALANCED:
        release_version(folders[host], 5, 18, changed=True)
    announce(folders[BALANCED[0]], "5.18")
    checking, downloading = BALANCED
    logs = {host: os.path.join(work, "service-%s.log" % host) for host in BALANCED}
    for path in logs.values():
        if os.path.exists(path):
            os.remove(path)
    check(not scenario.wait_listening(*BALANCER_DOWNLOAD, timeout=0.5),
          "another service listens on %s:%d (another end-to-end run?)" % BALANCER_DOWNLOAD)
    instances = []
    try:
        # The check on the deployment's addresses, naming the other instance for the download.
        instances.append(qbdrive.Process(
            [scenario.SERVICE, "serve", "--releases", folders[checking], "--log", logs[checking],
             "--download", checking, "--advertise", "%s:%d" % (downloading, 31712),
             "--drain", "0"], os.environ.copy(), logs[checking] + ".out"))
        instances.append(qbdrive.Process(
            [scenario.SERVICE, "serve", "--releases", folders[downloading], "--log",
             logs[downloading], "--query", downloading, "--update", downloading, "--download",
             "%s:%d" % (downloading, 31712), "--drain", "0"],
            os.environ.copy(), logs[downloading] + ".out"))
        for host, process in zip(BALANCED, instances):
            check(qbdrive.wait_until(lambda: not process.running()
                                     or log_count(logs[host], "serving") > 0, 30)
                  and process.running(), "instance %s did not start; see %s" % (host, logs[host]))
        with scenario.InstallerRun(BUILD, work, display=display, start_service=False) as run:
            problems = run.install_and_open()
            check(not problems, "; ".join(problems))
            check_tree(run, os.path.join(folders[downloading], "5.18"))
            check(log_count(logs[downloading], "module download:") >= 1,
                  "the instance that does not announce 5.18 yet served nothing")
            check(log_count(logs[checking], "module download:") == 0,
                  "the checking instance served the download")
    finally:
        for process in instances:
            process.stop()


# -- updates: only what changed, proven by the signed manifest ----------------------------------

def signed_version(work, part4, change=(), add=(), remove=(), key=None, expires_at=None,
                   sign_args=(), grow=0):
    """A copy of the signed demo package as version 5.<part4>, signed again: the modules named in
    `change` with bytes appended (a day of quotes), files named in `add` as new modules below
    Data\\Quotes, the modules named in `remove` dropped; `sign_args` go to sign; `grow` more
    bytes (not compressible) appended to each changed file. Returns its folder."""
    base = SIGNED.package()
    folder = os.path.join(work, "package-5.%d" % part4)
    if os.path.isdir(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    with open(os.path.join(base, "package.json"), encoding="utf-8") as f:
        pkg = json.load(f)
    modules = [m for m in pkg["modules"]
               if m["name"] != "package.manifest" and m["name"] not in remove]
    for m in modules:
        target = os.path.join(folder, m["source"])
        os.makedirs(os.path.dirname(target) or folder, exist_ok=True)
        shutil.copyfile(os.path.join(base, m["source"]), target)
        if m["name"] in change:
            with open(target, "ab") as f:
                f.write(b" changed in 5.%d" % part4)
                f.write(hashlib.sha256(m["name"].encode()).digest() * (grow // 32))
    if pkg.get("base_archive"):
        shutil.copyfile(os.path.join(base, pkg["base_archive"]),
                        os.path.join(folder, pkg["base_archive"]))
    template = [m for m in modules if m["kind"] == "F"][0]
    for name in add:
        module = dict(template, name=name, num1=max(m["num1"] for m in modules) + 1,
                      folder="Data\\Quotes\\", file=name, source="Data/Quotes/" + name)
        target = os.path.join(folder, module["source"])
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(b"new in 5.%d: " % part4 + name.encode() * 500)
        modules.append(module)
    for m in modules:
        m["num2"] = part4
    pkg["version_part4"] = part4
    pkg["modules"] = modules
    with open(os.path.join(folder, "package.json"), "w", encoding="utf-8") as f:
        json.dump(pkg, f, ensure_ascii=False, indent=1)
    cmd = [scenario.SERVICE, "sign", folder, "--key", key or SIGNED.signing_key] + list(sign_args)
    if expires_at is not None:
        cmd += ["--expires-at", str(expires_at)]
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    return folder


def serve(run, folder):
    run.service.stop()
    run.package_folder = folder
    run.start_the_service()


def download_requests(run):
    """The file counts of the module download requests the service saw since it last started."""
    with open(os.path.join(run.work_dir, "service.log"), encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    starts = [i for i, line in enumerate(lines) if "installers are sent to download server" in line]
    counts = []
    for line in lines[starts[-1] if starts else 0:]:
        if " module download: " in line:
            counts.append(int(line.split(" module download: ")[1].split()[0]))
    return counts


def range_requests(run):
    """The range requests the service saw since it last started: for each, the ranges it names
    as (module, offset, length), and their bytes together."""
    with open(os.path.join(run.work_dir, "service.log"), encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    starts = [i for i, line in enumerate(lines) if "installers are sent to download server" in line]
    requests = []
    for line in lines[starts[-1] if starts else 0:]:
        if " module ranges: " not in line:
            continue
        head, _, named = line.split(" module ranges: ")[1].partition(": ")
        ranges = []
        for item in named.split(", "):
            if "@" in item:
                name, _, span = item.rpartition("@")
                offset, _, length = span.partition("+")
                ranges.append((name, int(offset), int(length)))
        requests.append((int(head.split()[0]), ranges))
    return requests


def module_size(folder, name):
    with open(os.path.join(folder, "package.json"), encoding="utf-8") as f:
        pkg = json.load(f)
    source = [m["source"] for m in pkg["modules"] if m["name"] == name][0]
    return os.path.getsize(os.path.join(folder, source))


def check_tree(run, folder):
    """The install holds exactly the package of `folder`: every module file byte for byte, no
    file of a module it does not list, module.info of its version."""
    with open(os.path.join(folder, "package.json"), encoding="utf-8") as f:
        pkg = json.load(f)
    listed = set()
    for m in pkg["modules"]:
        relative = (m["folder"] + m["file"]).replace("\\", "/")
        if m["kind"] == "D":
            continue
        listed.add(relative.lower())
        target = find_case_insensitive(run.install_dir(), relative)
        check(target is not None, "module file missing: " + relative)
        check(digest(target) == digest(os.path.join(folder, m["source"])),
              "module file differs: " + relative)
    for base, _, files in os.walk(os.path.join(run.install_dir(), "Data")):
        for name in files:
            relative = os.path.relpath(os.path.join(base, name), run.install_dir())
            check(relative.lower() in listed, "a file of no module of the package: " + relative)
    with open(os.path.join(run.install_dir(), "module.info"), "rb") as f:
        info = f.read()
    check(struct.unpack("<ii", info[:8]) == (pkg["version_part3"], pkg["version_part4"]),
          "module.info holds another version")


def case_update_downloads_only_what_changed(display):
    work = os.path.join(WORK, "update")
    with scenario.InstallerRun(SIGNED, work, display=display) as run:
        earlier_install(run)
        b = signed_version(work, 18, change=["SH600000.day"], add=["SH600001.day"],
                           remove=["SZ000001.day"])
        serve(run, b)
        problems = run.install_and_open()
        check(not problems, "; ".join(problems))
        # The manifest alone, then the added module; of the changed one (a day of quotes
        # appended) only its end, by range.
        check(download_requests(run) == [1, 1], "requests of %s files" % download_requests(run))
        ranges = range_requests(run)
        size = module_size(b, "SH600000.day")
        check(len(ranges) == 1 and ranges[0][0] == 1 and ranges[0][1][0][0] == "SH600000.day"
              and ranges[0][1][0][1] >= size - 128 * 1024
              and sum(r[2] for r in ranges[0][1]) == size - ranges[0][1][0][1],
              "range requests %r for a file of %d bytes" % (ranges, size))
        log = install_log_bytes(run)
        check(b"Reuse 6 of 8 modules" in log, "the log does not say what was reused")
        check(b"1 to complete by parts" in log, "the log does not say what was completed by parts")
        check_tree(run, b)


def case_edited_file_is_downloaded_again(display):
    work = os.path.join(WORK, "update-edited")
    with scenario.InstallerRun(SIGNED, work, display=display) as run:
        earlier_install(run)
        with open(os.path.join(run.install_dir(), "Data", "Charts", "layouts.bin"), "r+b") as f:
            f.write(b"X")
        b = signed_version(work, 18, change=["SH600000.day"])
        serve(run, b)
        problems = run.install_and_open()
        check(not problems, "; ".join(problems))
        # The manifest, then by range the end of the changed file and the start of the edited
        # one (its first chunk no longer the listed one); nothing whole.
        check(download_requests(run) == [1], "requests of %s files" % download_requests(run))
        named = sorted((r[0], r[1] == 0) for _, ranges in range_requests(run) for r in ranges)
        check(named == [("SH600000.day", False), ("layouts.bin", True)],
              "range requests %r" % range_requests(run))
        check(b"Reuse 6 of 8 modules" in install_log_bytes(run), "the log's reuse line")
        check_tree(run, b)


def case_update_resumes_its_ranges_after_a_drop(display):
    """Every data file with a day of quotes appended; the connection dropped in the middle of the
    ranges: the next one asks only for what did not come."""
    work = os.path.join(WORK, "update-ranges-dropped")
    with scenario.InstallerRun(SIGNED, work, display=display) as run:
        earlier_install(run)
        changed = ["SH600000.day", "SZ000001.day", "HK00700.day", "ticks_2026.bin",
                   "layouts.bin", "skin.pak"]
        # 160 KB more each: a few hundred chunk records of ranges, cut after the first hundred.
        b = signed_version(work, 18, change=changed, grow=160 * 1024)
        run.service_args = ["--drop-after", "150", "--drop-connections", "1"]
        serve(run, b)
        problems = run.install_and_open()
        check(not problems, "; ".join(problems))
        ranges = range_requests(run)
        check(len(ranges) >= 2, "range requests %r" % ranges)
        first = {(r[0], r[1] + r[2]) for r in ranges[0][1]}
        # Every range asked again ends where one asked first did (the same file's end), starts no
        # earlier than... what came, and asks fewer bytes than the first.
        again = ranges[1][1]
        check(ranges[1][0] <= ranges[0][0] and all((r[0], r[1] + r[2]) in first for r in again),
              "after the drop, ranges %r; first %r" % (again, ranges[0][1]))
        check(sum(r[2] for r in again) < sum(r[2] for r in ranges[0][1]),
              "the drop's second request asks for as much as the first")
        check(download_requests(run) == [1], "requests of %s files" % download_requests(run))
        check_tree(run, b)


def case_update_without_ranges(display):
    """A service that does not answer range requests (serve --no-ranges, the packages signed with
    --no-ranges): the changed file is downloaded whole, and the update completes."""
    work = os.path.join(WORK, "update-no-ranges")
    with scenario.InstallerRun(SIGNED, work, display=display) as run:
        earlier_install(run)
        b = signed_version(work, 18, change=["SH600000.day"], sign_args=["--no-ranges"])
        run.service_args = ["--no-ranges"]
        serve(run, b)
        problems = run.install_and_open()
        check(not problems, "; ".join(problems))
        check(download_requests(run) == [1, 1], "requests of %s files" % download_requests(run))
        check(range_requests(run) == [], "range requests %r" % range_requests(run))
        check_tree(run, b)


def case_rollback_refused_without_the_install(display):
    work = os.path.join(WORK, "rollback-floor")
    with scenario.InstallerRun(SIGNED, work, display=display) as run:
        earlier_install(run)  # 5.17, which the user's registry now keeps as the floor
        shutil.rmtree(run.install_dir())
        serve(run, signed_version(work, 16))
        start_clicked(run)
        expect_text(run, "status", "Package check failed", timeout=120)
        check(download_requests(run) == [1], "more than the manifest was asked for")
        check(b"older than a version installed before" in failed_log(run),
              "the kept log does not say why")
        check(not os.path.exists(run.install_dir()), "an install folder appeared")
        close_ends_with(run, "Downgrade")


def case_expired_manifest_refused_before_the_files(display):
    work = os.path.join(WORK, "expired")
    with scenario.InstallerRun(SIGNED, work, display=display, start_service=False) as run:
        run.package_folder = signed_version(work, 17, expires_at=1)
        run.start_the_service()
        start_clicked(run)
        expect_text(run, "status", "Package check failed", timeout=120)
        check(download_requests(run) == [1], "more than the manifest was asked for")
        check(b"package.manifest: expired" in failed_log(run), "the kept log does not say why")
        close_ends_with(run, "PackageCheckFailed")


def case_second_key_installs(display):
    work = os.path.join(WORK, "second-key")
    with scenario.InstallerRun(SIGNED, work, display=display, start_service=False) as run:
        folder = signed_version(work, 17, key=SIGNED.second_signing_key)
        run.package_folder = folder
        run.start_the_service()
        problems = run.install_and_open()
        check(not problems, "; ".join(problems))
        check_tree(run, folder)


# -- the uninstall ------------------------------------------------------------------------------

UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillbank100201"


def check_uninstall_entry(run, pkg):
    """The Apps & features entry of a finished install: every value, the size that of the
    install folder before the terminal wrote its launch record. Returns the entry."""
    entry = run.prefix.registry_key(UNINSTALL_KEY)
    check(entry is not None, "no Apps & features entry after the install")
    links = [n for n in os.listdir(run.prefix.desktop()) if n.endswith(".lnk")]
    check(entry.get("DisplayName", "") + ".lnk" in links,
          "DisplayName %r does not name the shortcut (%r)" % (entry.get("DisplayName"), links))
    check(entry.get("DisplayVersion") == "9.3.%d.%d" % (pkg["version_part3"], pkg["version_part4"]),
          "DisplayVersion %r" % entry.get("DisplayVersion"))
    check(entry.get("Publisher") == "Quillbank", "Publisher %r" % entry.get("Publisher"))
    location = entry.get("InstallLocation", "")
    check(location.lower().endswith("\\appdata\\roaming\\quillbank100201"),
          "InstallLocation %r" % location)
    check(entry.get("DisplayIcon") == location + "\\quillbank ix.exe",
          "DisplayIcon %r" % entry.get("DisplayIcon"))
    check(entry.get("UninstallString") == '"%s.uninstall.exe" /uninstall' % location,
          "UninstallString %r" % entry.get("UninstallString"))
    size = 0
    for base, _, files in os.walk(run.install_dir()):
        size += sum(os.path.getsize(os.path.join(base, n)) for n in files if n != "launch.txt")
    check(entry.get("EstimatedSize") == (size + 1023) // 1024,
          "EstimatedSize %r for %d bytes" % (entry.get("EstimatedSize"), size))
    check(entry.get("NoModify") == 1 and entry.get("NoRepair") == 1, "NoModify or NoRepair not 1")
    return entry


def uninstall_from_entry(run, entry, work):
    """Runs the entry's UninstallString as Windows does, in the install folder as the current
    folder, and waits until its copy in the temporary folder has removed the program beside the
    install (its last step)."""
    m = re.match(r'^"([^"]+)" (.*)$', entry["UninstallString"])
    check(m, "UninstallString %r is not a quoted program and its argument" % entry["UninstallString"])
    first = qbdrive.Process(run.prefix.wine(m.group(1), m.group(2)), run.prefix.env(run.display),
                            os.path.join(work, "uninstall.out"), cwd=run.install_dir())
    code = first.wait(60)
    check(code == 0, "the uninstall started from the entry exited %r, not 0" % code)
    beside = run.install_dir() + ".uninstall.exe"
    check(qbdrive.wait_until(lambda: not os.path.exists(beside), 90),
          "the uninstall did not finish (the program beside the install is still there)")


def start_terminal(run, work):
    """The installed terminal started by the user, recording its start in launch.txt."""
    launch = os.path.join(run.install_dir(), "launch.txt")
    if os.path.exists(launch):
        os.remove(launch)
    terminal = qbdrive.Process(run.prefix.wine(os.path.join(run.install_dir(), scenario.TERMINAL),
                                               "running"),
                               run.prefix.env(run.display), os.path.join(work, "terminal.out"))
    check(qbdrive.wait_until(lambda: os.path.exists(launch), 60), "the terminal did not start")
    return terminal


def check_uninstalled(run):
    appdata = run.prefix.appdata()
    for name in ("Quillbank100201", "Quillbank100201temp", "Quillbank100201.previous",
                 "Quillbank100201.failed.log"):
        check(not os.path.exists(os.path.join(appdata, name)), name + " left after the uninstall")
    links = [n for n in os.listdir(run.prefix.desktop()) if n.endswith(".lnk")]
    check(not links, "shortcut left after the uninstall: %r" % links)
    check(run.prefix.registry_key(UNINSTALL_KEY) is None, "Apps & features entry left")


def run_watched(run, program, args, seconds, name, closing=False):
    """Runs the Windows program `program` with `args` through the probe, which looks for a new
    window on screen every 20 ms until the program has ended (and, `closing`, asks each to close
    once seen). Returns its exit code (all 32 bits), how long it ran in ms, and the windows it
    showed."""
    env = run.prefix.env(run.display, run.lang)
    mode = "run-closing" if closing else "run"
    result = subprocess.run(run.prefix.wine(PROBE, mode, str(seconds), program, *args), env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            timeout=seconds + 60)
    lines = [line for line in result.stdout.splitlines() if line.startswith("probe:")]
    with open(os.path.join(run.work_dir, name + ".txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    m = re.search(r"probe: exit code (\d+) after (\d+) ms; windows shown (\d+)", result.stdout)
    check(result.returncode == 0 and m, "%s: %s" % (name, lines or result.stdout[-400:]))
    return int(m.group(1)), int(m.group(2)), [l for l in lines if l.startswith("probe: shown")]


def case_verysilent_install_log_and_uninstall(display):
    """As IT deploys it: /verysilent with a log where IT wants it (a folder with a space), no
    window ever, no terminal started, everything installed and registered; then the entry's
    quiet uninstall, again with nothing on screen, which removes it all and says so."""
    work = os.path.join(WORK, "verysilent")
    pkg = package()
    with scenario.InstallerRun(BUILD, work, display=display) as run:
        logs = os.path.join(run.prefix.user_dir(), "it logs")
        os.makedirs(logs, exist_ok=True)
        log = os.path.join(logs, "qb setup.log")
        code, ms, shown = run_watched(run, winpath(BUILD.installer),
                                      ["/VERYSILENT", "/log=" + winpath(log)], 300, "verysilent")
        print("      /verysilent installed in %.1f s" % (ms / 1000.0), flush=True)
        check(not shown, "/verysilent showed %r" % shown)
        check(code == EXIT["Success"], "/verysilent exited %d" % code)
        check_installed_files(run, pkg)
        check(run.launch_record() is None, "the terminal was started")
        entry = check_uninstall_entry(run, pkg)
        location = entry.get("InstallLocation", "")
        check(entry.get("QuietUninstallString") == '"%s.uninstall.exe" /uninstall /verysilent' % location,
              "QuietUninstallString %r" % entry.get("QuietUninstallString"))
        check(os.path.isfile(log), "no log where /log= named")
        with open(log, "rb") as f:
            copied = f.read()
        check(copied == install_log_bytes(run), "the log copied is not the install's")
        check(b"OnButtonClick\xa3\xbaConnect Success" in copied, "the copied log lacks the install")

        m = re.match(r'^"([^"]+)" (.*)$', entry["QuietUninstallString"])
        code, ms, shown = run_watched(run, m.group(1), m.group(2).split(), 120, "quiet-uninstall")
        check(not shown, "the quiet uninstall showed %r" % shown)
        check(code == EXIT["Success"], "the quiet uninstall exited %d" % code)
        beside = run.install_dir() + ".uninstall.exe"
        check(qbdrive.wait_until(lambda: not os.path.exists(beside), 90),
              "the uninstall did not finish (the program beside the install is still there)")
        check_uninstalled(run)


def case_silent_install(display):
    """/silent: the window shows, the install runs with no click, the window closes itself and
    the terminal is not started. Then /verysilent again with a log that cannot be written: the
    install is done, and the exit code says the log is not."""
    work, release = case_folder("silent", "release-last-file")
    pkg = package()
    with scenario.InstallerRun(BUILD, work, display=display,
                               service_args=["--hold-last-file-until", release]) as run:
        run.start_installer(args=["-silent"])
        # The download runs with no click; the last file waits, with the window on screen.
        held_last_file(run)
        check(run.window.exists(), "the window is not on screen during the download")
        run.screenshot("silent-downloading")
        with open(release, "w") as f:
            f.write("go")
        code = run.installer.wait(300)
        check(code == 0, "/silent exited %r" % code)
        check(not run.window.exists(), "the window is still there")
        check_installed_files(run, pkg)
        check(run.launch_record() is None, "the terminal was started")
        check(run.prefix.registry_key(UNINSTALL_KEY) is not None, "no Apps & features entry")

        nowhere = os.path.join(work, "no such folder", "setup.log")
        code, _, shown = run_watched(run, winpath(BUILD.installer),
                                     ["/verysilent", "/log=" + winpath(nowhere)], 300, "bad-log")
        check(not shown, "/verysilent showed %r" % shown)
        check(code == EXIT["LogNotWritten"], "a log that cannot be written: exit %d" % code)
        check_installed_files(run, pkg)


def case_verysilent_no_server(display):
    """/verysilent with no service anywhere: the no-server code, soon, and nothing on screen."""
    with scenario.InstallerRun(BUILD, os.path.join(WORK, "verysilent-no-server"), display=display,
                               start_service=False) as run:
        code, ms, shown = run_watched(run, winpath(BUILD.installer), ["/verysilent"], 120,
                                      "no-server")
        print("      no server: exit %d after %.1f s" % (code, ms / 1000.0), flush=True)
        check(not shown, "/verysilent showed %r" % shown)
        check(code == EXIT["NoServer"], "/verysilent with no server exited %d" % code)
        check(not os.path.exists(run.install_dir()), "an install folder appeared")


def case_verysilent_package_check_failed(display):
    """The signed program, /verysilent, a package whose manifest has expired: the package
    check's code, nothing installed, nothing on screen."""
    work = os.path.join(WORK, "verysilent-check-failed")
    with scenario.InstallerRun(SIGNED, work, display=display, start_service=False) as run:
        run.package_folder = signed_version(work, 17, expires_at=1)
        run.start_the_service()
        log = os.path.join(work, "copied.log")
        if os.path.exists(log):
            os.remove(log)
        code, _, shown = run_watched(run, winpath(SIGNED.installer),
                                     ["/verysilent", "/log=" + winpath(log)], 180, "check-failed")
        check(not shown, "/verysilent showed %r" % shown)
        check(code == EXIT["PackageCheckFailed"], "/verysilent with an expired package exited %d" % code)
        check(not os.path.exists(run.install_dir()), "an install folder appeared")
        check(b"package.manifest: expired" in failed_log(run), "the kept log does not say why")
        # The log of the failed attempt goes where /log= names too.
        with open(log, "rb") as f:
            check(f.read() == failed_log(run), "the copied log is not the failed attempt's")


def case_command_line_refused_and_usage(display):
    """A switch the program does not know installs nothing and says so in the exit code; /? in
    the silent modes shows nothing and exits 0; without them, both show the usage in a message
    box (answered here by the probe)."""
    with scenario.InstallerRun(BUILD, os.path.join(WORK, "command-line"), display=display) as run:
        for args, want in ((["/verysilent", "/S"], "InvalidCommandLine"),
                           (["/silent", "/log"], "InvalidCommandLine"),
                           (["/verysilent", "/?"], "Success")):
            code, _, shown = run_watched(run, winpath(BUILD.installer), args, 60, "command-line")
            check(not shown, "%s showed %r" % (" ".join(args), shown))
            check(code == EXIT[want], "%s exited %d, not %s" % (" ".join(args), code, want))
        for args, want in ((["/help"], "Success"), (["/bogus"], "InvalidCommandLine")):
            code, _, shown = run_watched(run, winpath(BUILD.installer), args, 60, "usage",
                                         closing=True)
            check(len(shown) == 1 and "quillbank ix setup" in shown[0],
                  "%s showed %r, not the usage" % (args[0], shown))
            check(code == EXIT[want], "%s exited %d, not %s" % (args[0], code, want))
        check(not os.path.exists(run.install_dir()) and not os.path.exists(run.staging_dir()),
              "a refused command line touched the install's folders")
        check(service_log_count(run, "update check") == 0, "a refused command line reached the service")


def case_uninstall_win7(display):
    work = os.path.join(WORK, "uninstall-win7")
    pkg = package()
    with scenario.InstallerRun(BUILD, work, display=display, windows_version="win7") as run:
        path_before = run.prefix.user_path_value()
        problems = run.install_and_open()
        check(not problems, "; ".join(problems))
        entry = check_uninstall_entry(run, pkg)
        check("QuillbankDependBase" in (run.prefix.user_path_value() or ""),
              "the install did not put the dependency folder on the user's Path")
        terminal = start_terminal(run, work)
        try:
            uninstall_from_entry(run, entry, work)
            check(terminal.wait(30) is not None, "the running terminal was not stopped")
        finally:
            terminal.stop()
        check_uninstalled(run)
        check(run.prefix.user_path_value() == path_before,
              "user Path %r, before the install %r" % (run.prefix.user_path_value(), path_before))
        check(not os.path.exists(run.depend_dir()), "dependency folder left with no other package")


def case_uninstall_win10_keeps_what_another_package_uses(display):
    work = os.path.join(WORK, "uninstall-win10")
    with scenario.InstallerRun(BUILD, work, display=display, windows_version="win10") as run:
        problems = run.install_and_open()
        check(not problems, "; ".join(problems))
        entry = check_uninstall_entry(run, package())
        # Another of the publisher's packages, installed beside, with the dependency folder.
        other = os.path.join(run.prefix.appdata(), "Quillbank100777")
        os.makedirs(other)
        with open(os.path.join(other, "module.info"), "wb") as f:
            f.write(b"another package")
        os.makedirs(run.depend_dir(), exist_ok=True)
        with open(os.path.join(run.depend_dir(), "shared.dll"), "wb") as f:
            f.write(b"used by the other package")
        uninstall_from_entry(run, entry, work)
        check_uninstalled(run)
        check(os.path.isfile(os.path.join(run.depend_dir(), "shared.dll")),
              "the dependency folder another package uses was removed")
        check(os.path.isfile(os.path.join(other, "module.info")), "the other package was touched")


# -- trust: nothing planted runs, no link is followed, no name from the network is a path ------

def case_planted_dlls_never_run(display):
    """Two DLLs left beside the program in the Downloads folder under the names of system DLLs it
    uses (msimg32.dll, which the window loads, and bcrypt.dll, which checks the package), with
    Wine told to prefer such DLLs, as Windows searches the program's folder first for DLLs that
    are not known DLLs. The signed program, so that bcrypt is used for real."""
    work = os.path.join(WORK, "planted-dlls")
    with scenario.InstallerRun(SIGNED, work, display=display) as run:
        downloads = os.path.join(run.prefix.user_dir(), "Downloads")
        os.makedirs(downloads, exist_ok=True)
        run.program = os.path.join(downloads, "quillbank-setup.exe")
        shutil.copyfile(SIGNED.installer, run.program)
        markers = []
        for name in ("msimg32.dll", "bcrypt.dll"):
            shutil.copyfile(os.path.join(PLANTED, name), os.path.join(downloads, name))
            markers.append(os.path.join(downloads, name + ".ran"))
        run.extra_env = {"WINEDLLOVERRIDES":
                         run.prefix.base_env["WINEDLLOVERRIDES"] + ";msimg32,bcrypt=n,b"}
        problems = run.install_and_open()
        check(not problems, "; ".join(problems))
        check_tree(run, run.build.package_dir)
        ran = [os.path.basename(m) for m in markers if os.path.exists(m)]
        check(not ran, "code planted beside the program ran: " + ", ".join(ran))


def link_to_outside(run, where, name):
    """A folder outside every folder of the installer, holding one file, and a link to it named
    `name` in `where` (made if need be). Returns the outside file."""
    outside = os.path.join(run.prefix.path, "drive_c", "outside-" + name)
    os.makedirs(outside, exist_ok=True)
    kept = os.path.join(outside, "kept.dat")
    with open(kept, "wb") as f:
        f.write(b"kept outside: " + name.encode())
    os.makedirs(where, exist_ok=True)
    os.symlink(outside, os.path.join(where, name))
    return kept


def check_kept(files):
    for path in files:
        check(os.path.isfile(path), "a file outside the install was deleted through a link: " + path)
        with open(path, "rb") as f:
            check(f.read().startswith(b"kept outside: "), "a file outside the install changed: " + path)


def only_entries(folder):
    return sorted(os.listdir(folder)) if os.path.isdir(folder) else None


def case_links_are_never_followed(display):
    """A user's link inside the install (history kept on another drive): the update moves the old
    install aside and deletes it after "Open", the uninstall deletes the install; neither follows
    the link. Wine shows a Unix symbolic link to a folder as a folder link but resolves it in every
    call that would remove it (and would remove or move the folder it points at), so under Wine
    the link itself stays, alone, and the uninstall names it; on Windows it goes."""
    work = os.path.join(WORK, "links")
    with scenario.InstallerRun(BUILD, work, display=display) as run:
        problems = run.install_and_open()
        check(not problems, "first install: " + "; ".join(problems))
        run.prefix.kill()  # the terminal "Open" started, which holds its program
        os.remove(os.path.join(run.install_dir(), "launch.txt"))
        history = os.path.join(run.install_dir(), "history")
        previous = run.install_dir() + ".previous"
        kept = [link_to_outside(run, run.install_dir(), "history")]
        start_clicked(run)
        # The old install (with its link) moved aside: the update replaces it.
        check(qbdrive.wait_until(lambda: not os.path.lexists(history), 240),
              "the update did not replace the install")
        open_and_exit(run)
        check_kept(kept)
        left = only_entries(previous)
        check(left in (None, ["history"]),
              "the old install was not deleted around its link: %r left" % left)
        if left:
            os.remove(os.path.join(previous, "history"))  # as the user would
            os.rmdir(previous)

        # The uninstall, with the link in the install.
        kept.append(link_to_outside(run, run.install_dir(), "history"))
        entry = run.prefix.registry_key(UNINSTALL_KEY)
        check(entry is not None, "no Apps & features entry after the update")
        run.prefix.kill()
        m = re.match(r'^"([^"]+)" (.*)$', entry["UninstallString"])
        first = qbdrive.Process(run.prefix.wine(m.group(1), m.group(2)),
                                run.prefix.env(run.display), os.path.join(work, "uninstall.out"),
                                cwd=run.install_dir())
        code = first.wait(60)
        check(qbdrive.wait_until(lambda: only_entries(run.install_dir()) in (None, ["history"]), 90),
              "the uninstall did not delete the install around its link: %r"
              % only_entries(run.install_dir()))
        # The exit code says whether the install went: under Wine the link it could not remove.
        want = "FileHeld" if only_entries(run.install_dir()) else "Success"
        check(code == EXIT[want] & 0xFF,
              "the uninstall started from the entry exited %r, not %s" % (code, want))
        check_kept(kept)
        if only_entries(run.install_dir()):
            # Wine: the link stays and is named on screen; the user removes it and uninstalls again.
            run.prefix.kill()
            os.remove(history)
            uninstall_from_entry(run, entry, work)
        else:
            check(qbdrive.wait_until(lambda: not os.path.exists(run.install_dir() + ".uninstall.exe"),
                                     90), "the uninstall did not finish")
        check_uninstalled(run)
        check_kept(kept)


def package_named(work, name):
    """The demo package with `name` as its product name (what the package query reports)."""
    base = BUILD.package()
    folder = os.path.join(work, "package-named")
    if os.path.isdir(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    for entry in os.listdir(base):
        if entry != "package.json":
            os.symlink(os.path.realpath(os.path.join(base, entry)), os.path.join(folder, entry))
    pkg = package(base)
    pkg["product_name"] = name
    with open(os.path.join(folder, "package.json"), "w", encoding="utf-8") as f:
        json.dump(pkg, f, ensure_ascii=False, indent=1)
    return folder


def desktop_links(run):
    return sorted(n for n in os.listdir(run.prefix.desktop()) if n.lower().endswith(".lnk"))


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def case_product_name_never_names_a_path(display):
    """The product name comes from the package query, which nothing authenticates. One that
    climbs out of the desktop, and one that names someone else's shortcut there: the shortcuts
    of others stay byte for byte through the install and the uninstall, and ours is
    Quillbank<package number>.lnk."""
    work = os.path.join(WORK, "product-name")
    ours = "Quillbank100201.lnk"
    with scenario.InstallerRun(BUILD, work, display=display, start_service=False) as run:
        climbed = os.path.join(run.prefix.user_dir(), "Other App.lnk")
        taken = os.path.join(run.prefix.desktop(), "Collision.lnk")
        for path in (climbed, taken):
            with open(path, "wb") as f:
                f.write(b"another program's shortcut, not ours: " + path.encode())
        before = {path: read_bytes(path) for path in (climbed, taken)}
        for name in ("..\\Other App", "Collision"):
            run.package_folder = package_named(work, name)
            if run.service is None:
                run.start_the_service()
            else:
                serve(run, run.package_folder)
            problems = run.install_and_open()
            check(not problems, "%r: %s" % (name, "; ".join(problems)))
            check(desktop_links(run) == sorted(["Collision.lnk", ours]),
                  "%r: desktop shortcuts %r" % (name, desktop_links(run)))
            entry = run.prefix.registry_key(UNINSTALL_KEY)
            check(entry is not None and entry.get("DisplayName") == name,
                  "%r: entry %r" % (name, entry))
            for path, data in before.items():
                check(read_bytes(path) == data, "%r: the install changed %s" % (name, path))
            uninstall_from_entry(run, entry, work)
            check(desktop_links(run) == ["Collision.lnk"],
                  "%r: after the uninstall, desktop shortcuts %r" % (name, desktop_links(run)))
            for path, data in before.items():
                check(read_bytes(path) == data, "%r: the uninstall changed %s" % (name, path))


def import_reg(run, lines):
    """Imports registry values from a .reg file (UTF-16, so that every character arrives)."""
    path = os.path.join(run.prefix.path, "import.reg")
    with open(path, "wb") as f:
        f.write("\r\n".join(["Windows Registry Editor Version 5.00", ""] + lines + [""])
                .encode("utf-16"))
    run.prefix.reg("import", "Z:" + path.replace("/", "\\"))
    os.remove(path)


def case_western_profile_folder(display):
    """A profile folder with a character GBK does not have as the system gives it ("Jürgen",
    on a Western system, whose code page is 1252): install, the entry, the uninstall stopping a
    running terminal."""
    work = os.path.join(WORK, "western-profile")
    with scenario.InstallerRun(BUILD, work, display=display, lang="C.UTF-8") as run:
        profile = "C:\\users\\J\u00fcrgen"
        unix_profile = os.path.join(run.prefix.path, "drive_c", "users", "J\u00fcrgen")
        appdata = os.path.join(unix_profile, "AppData", "Roaming")
        desktop = os.path.join(unix_profile, "Desktop")
        os.makedirs(appdata)
        os.makedirs(desktop)
        values = ['"AppData"="%s\\\\AppData\\\\Roaming"' % profile.replace("\\", "\\\\"),
                  '"Desktop"="%s\\\\Desktop"' % profile.replace("\\", "\\\\")]
        key = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Explorer"
        import_reg(run, ["[%s\\User Shell Folders]" % key] + values + ["", "[%s\\Shell Folders]" % key] + values)
        run.prefix.appdata = lambda: appdata
        run.prefix.desktop = lambda: desktop
        problems = run.install_and_open()
        check(not problems, "; ".join(problems))
        check_installed_files(run, package())
        entry = run.prefix.registry_key(UNINSTALL_KEY)
        check(entry is not None, "no Apps & features entry")
        want = profile + "\\AppData\\Roaming\\Quillbank100201"
        check(entry.get("InstallLocation") == want,
              "InstallLocation %r, not %r" % (entry.get("InstallLocation"), want))
        check(entry.get("UninstallString") == '"%s.uninstall.exe" /uninstall' % want,
              "UninstallString %r" % entry.get("UninstallString"))
        check(desktop_links(run), "no shortcut on the desktop of the profile")
        terminal = start_terminal(run, work)
        try:
            uninstall_from_entry(run, entry, work)
            check(terminal.wait(30) is not None, "the running terminal was not stopped")
        finally:
            terminal.stop()
        check(not os.path.exists(run.install_dir()), "the install is still there")
        check(not desktop_links(run), "shortcut left: %r" % desktop_links(run))
        check(run.prefix.registry_key(UNINSTALL_KEY) is None, "Apps & features entry left")


CASES = [
    ("full install on Windows 7 (base archive, user Path), English", case_full_install_win7),
    ("Windows 10: no base archive, Path untouched; Simplified Chinese", case_win10_and_simplified_chinese),
    ("refused update shows its error code", case_refused_update),
    ("refused login; Traditional Chinese", case_refused_login_traditional),
    ("signed package: the demo deployment's program installs it", case_signed_package_installs),
    ("tampered package: Package check failed, earlier install intact", case_tampered_package_fails),
    ("a file sent larger than the manifest lists: refused at its chunk, earlier install intact",
     case_oversized_file_refused_at_its_chunk),
    ("download dropped four times keeps the earlier install", case_dropped_download_keeps_earlier_install),
    ("download dropped once half-way resumes: Open, files identical", case_one_drop_resumes),
    ("reconnecting shown in three languages", case_reconnecting_shown_in_three_languages),
    ("behind HAProxy: the instance downloading killed, the resume goes to the other: Open, files identical",
     case_instance_killed_behind_haproxy),
    ("rolling upgrade to 5.18 behind HAProxy, the downloading instance killed: Open, every file of 5.17",
     case_rolling_upgrade_to_a_higher_fourth_part),
    ("rolling upgrade to 6.17 (same fourth part) behind HAProxy: Open, every file of 5.17",
     case_rolling_upgrade_to_a_higher_third_part),
    ("5.17 republished with other bytes: refused at the reload, the install gets the 5.17 served",
     case_rolling_upgrade_republished_version_refused),
    ("the started version dropped during the download: Failed with its code, nothing installed",
     case_dropped_version_fails_honestly),
    ("update check announces 5.18, download on an instance not announcing it yet: Open with 5.18",
     case_check_announced_download_not_yet),
    ("no server reachable", case_no_server),
    ("reinstall replaces, ends a running terminal", case_reinstall_ends_running_terminal),
    ("check link lost during the download: after two refusals Failed stays, else installs",
     case_check_link_lost_during_download),
    ("every connection dropped after Installed: still Open", case_drops_after_installed),
    ("download stalls: the watchdog fails it", case_stalled_download),
    ("disk full during the download: Failed, earlier install intact", case_disk_full),
    ("second start during a download: another install runs (also with /verysilent, nothing shown), the first in front and complete",
     case_second_start_during_download),
    ("killed right after the old install moved aside: back before any click",
     case_killed_right_after_the_old_install_moved_aside),
    ("staged file removed before the install steps: Package check failed, log kept",
     case_staged_file_removed),
    ("file of the old install held during the replace: Failed, named in the log",
     case_held_file_during_replace),
    ("close box during the download: closes, earlier install intact", case_close_box_during_download),
    ("update: the manifest, then only the changed and added modules", case_update_downloads_only_what_changed),
    ("update: a reused file edited in the install is downloaded again",
     case_edited_file_is_downloaded_again),
    ("update of every data file by a day of quotes, dropped mid-way: the ranges not in yet, once",
     case_update_resumes_its_ranges_after_a_drop),
    ("update against a service that answers no ranges: the changed file whole",
     case_update_without_ranges),
    ("rollback refused with the install folder gone", case_rollback_refused_without_the_install),
    ("expired manifest refused before the module files", case_expired_manifest_refused_before_the_files),
    ("package signed with the second key installs", case_second_key_installs),
    ("installed: the Apps & features entry; uninstall from it on Windows 7 (terminal stopped, Path restored)",
     case_uninstall_win7),
    ("uninstall on Windows 10 keeps the dependency folder another package uses",
     case_uninstall_win10_keeps_what_another_package_uses),
    ("DLLs planted beside the program in Downloads never run; the signed install completes",
     case_planted_dlls_never_run),
    ("a link in the install: the update and the uninstall never follow it",
     case_links_are_never_followed),
    ("product names that climb or collide: others' shortcuts unchanged, ours Quillbank<number>.lnk",
     case_product_name_never_names_a_path),
    ("a profile folder outside GBK (Western code page): install, entry, uninstall, terminal stopped",
     case_western_profile_folder),
    ("/verysilent with /log=: nothing on screen, installed, the log there; the quiet uninstall likewise",
     case_verysilent_install_log_and_uninstall),
    ("/silent: the window closes itself, installed; a log that cannot be written has its code",
     case_silent_install),
    ("/verysilent with no service: the no-server code, soon", case_verysilent_no_server),
    ("/verysilent, signed, a package that fails its check: the check's code",
     case_verysilent_package_check_failed),
    ("an unknown switch installs nothing and has its code; /? quietly exits 0",
     case_command_line_refused_and_usage),
]


def main():
    global PROBE, HOLD, PLANTED, BUILD, SIGNED, WORK
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("--hold", required=True, help="qb_hold_file.exe")
    parser.add_argument("--planted", required=True,
                        help="the folder of the planted msimg32.dll and bcrypt.dll")
    parser.add_argument("--build-dir", required=True, help="the Windows build folder")
    parser.add_argument("--arch", required=True, choices=["win32", "win64"])
    parser.add_argument("-k", default="", help="run only cases whose name contains this")
    args = parser.parse_args()
    PROBE = args.probe
    HOLD = args.hold
    PLANTED = args.planted
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
