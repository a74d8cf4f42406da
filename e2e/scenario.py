"""One installer run as a user meets it: the reference service (with fault flags), a fresh Wine
prefix, quillbank-setup.exe on a display, clicks on its button, screenshots of each state.

Shared by scripts/demo and the end-to-end tests.
"""
import os
import shutil
import socket
import subprocess
import time

import qbdrive

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
# The service program: the test build of the native (sanitizer) build, which has the fault
# options, unless QB_SERVICE_PROGRAM names another
# (scripts/demo runs the release build operators run).
SERVICE = os.environ.get("QB_SERVICE_PROGRAM") or os.path.join(
    ROOT, "build", "native", "service", "quillbank-service-faults")
DEMO_PACKAGE = os.path.join(ROOT, "build", "native", "demo", "package")
TERMINAL = "quillbank ix.exe"
# Prefixes made by runs since the list was last cleared (the tests remove those of a passed case).
PREFIXES = []


class WindowsBuild:
    """One Windows build's programs and the Wine architecture they run under: "windows" (i686,
    win32) is what users get, "windows64" (x86-64, win64) runs on every x86-64 machine.

    With `signed`, the program is the build's demo-deployment installer, which carries the demo
    key, and the package is signed with the demo key's private half."""

    def __init__(self, build_dir, arch, signed=False):
        self.dir = os.path.abspath(build_dir)
        self.arch = arch
        self.signed = signed
        program = "quillbank-setup-demo.exe" if signed else "quillbank-setup.exe"
        self.installer = os.path.join(self.dir, "bin", program)
        self.terminal = os.path.join(self.dir, "demo", TERMINAL)
        self.prefix_template = os.path.join(self.dir, "e2e", "prefix-template")
        self.package_dir = os.path.join(self.dir, "e2e", "package-signed" if signed else "package")
        self.signing_key = os.path.join(self.dir, "demo-key", "package-signing.key")
        # The demo deployment's program takes a package signed with this one too.
        self.second_signing_key = os.path.join(self.dir, "demo-key-2", "package-signing.key")

    def package(self):
        """The demo package with this build's stand-in terminal: a folder of links to the native
        build's generated files, beside a link to the terminal (and, signed, its own package.json
        and manifest). Returns the folder."""
        if os.path.isdir(self.package_dir):
            shutil.rmtree(self.package_dir)
        os.makedirs(self.package_dir)
        for name in os.listdir(DEMO_PACKAGE):
            target = self.terminal if name == TERMINAL else os.path.join(DEMO_PACKAGE, name)
            if self.signed and name == "package.json":
                shutil.copyfile(target, os.path.join(self.package_dir, name))
            else:
                os.symlink(target, os.path.join(self.package_dir, name))
        if self.signed:
            subprocess.run([SERVICE, "sign", self.package_dir, "--key", self.signing_key],
                           check=True, stdout=subprocess.DEVNULL)
        return self.package_dir


def wait_listening(address, port, timeout=15):
    """True once something accepts connections on address:port (the benchmarks start their own
    service and look for another one first)."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            with socket.create_connection((address, port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.1)
    return False


class InstallerRun:
    """Service + prefix + installer. Use as a context manager; everything stops on exit."""

    def __init__(self, build, work_dir, service_args=(), lang="C.UTF-8", windows_version="win7",
                 display=None, prefix_dir=None, fresh_prefix=True, start_service=True):
        self.work_dir = work_dir
        self.build = build
        os.makedirs(work_dir, exist_ok=True)
        self.service_args = list(service_args)
        self.lang = lang
        self.windows_version = windows_version
        self.own_display = display is None
        self.display = display or qbdrive.Display()
        self.prefix_dir = prefix_dir or os.path.join(work_dir, "prefix")
        self.fresh_prefix = fresh_prefix
        self.start_service = start_service
        self.service = None
        # A package folder to serve instead of the build's demo package.
        self.package_folder = None
        self.installer = None
        # The program to run instead of the build's installer (a copy in a Downloads folder), and
        # environment variables to set for it.
        self.program = None
        self.extra_env = {}
        self.window = None
        self.prefix = None
        self.screenshots = []

    # -- life --------------------------------------------------------------------------------

    def __enter__(self):
        for name in os.listdir(self.work_dir):
            if name.endswith(".png"):
                os.remove(os.path.join(self.work_dir, name))
        PREFIXES.append(self.prefix_dir)
        fresh = self.fresh_prefix or not os.path.isdir(self.prefix_dir)
        self.prefix = qbdrive.Prefix(self.prefix_dir, self.build.prefix_template, self.build.arch,
                                     self.windows_version, fresh=fresh)
        if self.start_service:
            self.start_the_service()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start_the_service(self):
        log = os.path.join(self.work_dir, "service.log")
        start = os.path.getsize(log) if os.path.exists(log) else 0
        package = self.package_folder or self.build.package()
        # No drain: a case that stops the service means the installer to lose it at once, and a
        # restart on the same addresses must not wait for it.
        cmd = [SERVICE, "serve", "--package", package, "--log", log, "--drain", "0"]
        self.service = qbdrive.Process(cmd + self.service_args, os.environ.copy(),
                                       os.path.join(self.work_dir, "service.out"))
        # Our own service must be the one listening: another service on the machine may hold the
        # deployment addresses, and then ours ends at once ("Address already in use"). The
        # download endpoint is there whatever update addresses a case chose.
        deadline = time.time() + 15
        while time.time() < deadline:
            if not self.service.running():
                raise RuntimeError("the service ended at its start (is another service holding "
                                   "the deployment addresses?); see " + log)
            if os.path.exists(log):
                with open(log, "rb") as f:
                    f.seek(start)
                    if b"download listening on 127.0.0.22:31712" in f.read():
                        return
            time.sleep(0.1)
        raise RuntimeError("the service did not start listening; see " + log)

    def start_installer(self, timeout=60, args=()):
        env = dict(self.prefix.env(self.display, self.lang), **self.extra_env)
        self.installer = qbdrive.Process(
            self.prefix.wine(self.program or self.build.installer, *args), env,
            os.path.join(self.work_dir, "installer.out"))
        self.window = qbdrive.Window(self.display, timeout=timeout)
        return self.window

    def stop(self):
        if self.installer is not None:
            self.installer.stop()
        if self.prefix is not None:
            self.prefix.kill()
        if self.service is not None:
            self.service.stop()
            self.service = None
        if self.own_display:
            self.display.stop()

    # -- what the user sees --------------------------------------------------------------------

    def screenshot(self, name):
        path = os.path.join(self.work_dir, name + ".png")
        self.window.screenshot(path)
        self.screenshots.append(path)
        return path

    def click_button(self):
        self.window.click_button()

    def click_close(self):
        self.window.click_close_box()

    def showing_button(self):
        """The button frame is on screen (Ready or Installed). Moves the mouse off the button."""
        self.window.move_off_button()
        return self.window.shows_button()

    # -- what the installation leaves -------------------------------------------------------------

    def install_dir(self):
        return os.path.join(self.prefix.appdata(), "Quillbank100201")

    def staging_dir(self):
        return self.install_dir() + "temp"

    def depend_dir(self):
        return os.path.join(self.prefix.appdata(), "QuillbankDependBase")

    def installed(self):
        """The install steps finished: module.info in place and the staging folder gone."""
        return (os.path.isfile(os.path.join(self.install_dir(), "module.info"))
                and not os.path.exists(self.staging_dir()))

    def module_info_identity(self):
        """Which module.info the install folder holds (None when none): a new install moves in
        another file, even when the bytes are the same."""
        try:
            info = os.stat(os.path.join(self.install_dir(), "module.info"))
        except OSError:
            return None
        return (info.st_ino, info.st_mtime_ns)

    def launch_record(self):
        path = os.path.join(self.install_dir(), "launch.txt")
        if not os.path.isfile(path):
            return None
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace").strip()

    # -- the whole road --------------------------------------------------------------------------

    def install_and_open(self, timeout=240):
        """Clicks "Install", waits for "Open", clicks it; screenshots of each state. Returns a
        list of problems (empty when the installation completed and the terminal started)."""
        problems = []
        # Over an earlier install its module.info is there from the start: only one written by
        # this run (another file, moved in with the new install) means the install steps ended.
        earlier_info = self.module_info_identity()
        self.start_installer()
        # Ready once the button is painted.
        if not qbdrive.wait_until(self.showing_button, 30):
            return ["the window never showed its button"]
        self.screenshot("1-ready")
        self.click_button()
        installing_seen = False
        deadline = time.time() + timeout
        def done():
            return self.installed() and self.module_info_identity() != earlier_info

        while time.time() < deadline and not done():
            if not installing_seen and not self.window.shows_button():
                self.screenshot("2-installing")
                installing_seen = True
            time.sleep(0.2)
        if not done():
            self.screenshot("3-stuck")
            return ["the installation did not finish within %d s" % timeout]
        if not qbdrive.wait_until(self.showing_button, 20):
            problems.append("no \"Open\" button after the installation")
        self.screenshot("3-installed")
        self.click_button()
        code = self.installer.wait(30)
        if code is None:
            problems.append("the installer did not exit after \"Open\"")
        elif code != 0:
            problems.append("the installer exited with %d" % code)
        if not qbdrive.wait_until(lambda: self.launch_record() is not None, 20):
            problems.append("the terminal did not start")
        elif not self.launch_record().endswith("end"):
            problems.append("the terminal's command line is %r" % self.launch_record())
        return problems
