"""Drives the installer as a user meets it: a private X display, a fresh Wine prefix, the
reference update service, quillbank-setup.exe under Wine, clicks on its window, screenshots.

Used by scripts/demo and by the end-to-end tests. Standard library only; the X tools are
xdotool, ImageMagick's import/convert and Xvfb; Xvfb and the Wine environment come from
cmake/qb-wine, as for every other caller.
"""
import os
import re
import shlex
import shutil
import signal
import subprocess
import tempfile
import time

WINDOW_W, WINDOW_H = 463, 320
BUTTON_CENTRE = (230, 252)          # the push button [198, 240, 262, 265]
BUTTON_FRAME = (198, 240)           # its top-left frame pixel
BUTTON_FRAME_RGB = (0xC1, 0x42, 0x17)
BUTTON_FRAME_HOVER_RGB = (0xAB, 0x3B, 0x1C)
CLOSE_BOX_CENTRE = (451, 12)
AWAY_FROM_BUTTON = (20, 150)        # plain client area: nothing there reacts to the pointer
QB_WINE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cmake", "qb-wine")


def _run(cmd, env=None, check=True, capture=True, timeout=120):
    return subprocess.run(cmd, env=env, check=check, timeout=timeout,
                          stdout=subprocess.PIPE if capture else None,
                          stderr=subprocess.PIPE if capture else None, text=True)


class Display:
    """The caller's DISPLAY, or a private Xvfb when there is none (or when asked)."""

    def __init__(self, private=None):
        self.pid = None
        if private is None:
            private = not os.environ.get("DISPLAY")
        if not private:
            self.name = os.environ["DISPLAY"]
            return
        out = _run([QB_WINE, "xvfb"], timeout=30).stdout.split()
        self.name, self.pid = out[0], int(out[1])

    def env(self):
        return dict(os.environ, DISPLAY=self.name)

    def stop(self):
        if self.pid:
            try:
                os.kill(self.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            self.pid = None


def wine_env(arch, prefix):
    """The environment cmake/qb-wine sets for a prefix of this architecture."""
    env = dict(os.environ)
    for line in _run([QB_WINE, "env", arch, prefix]).stdout.splitlines():
        words = shlex.split(line)
        if len(words) == 2 and words[0] == "export":
            name, value = words[1].split("=", 1)
            env[name] = value
    return env


def _reg_unescape(text):
    """A string of a .reg file as it is: every backslash escapes the character after it."""
    return re.sub(r"\\(.)", r"\1", text)


def wine_which(arch):
    """Which Wine runs programs of this architecture here (cmake/qb-wine decides)."""
    return _run([QB_WINE, "which", arch]).stdout.strip()


class Prefix:
    """A Wine prefix of its own (win32 or win64), copied from a template made once per build."""

    def __init__(self, path, template, arch, windows_version="win7", fresh=True):
        self.path = path
        self.arch = arch
        self.base_env = wine_env(arch, path)
        if fresh:
            _run([QB_WINE, "prefix", arch, template], timeout=300)
            if os.path.exists(path):
                self.kill()
                shutil.rmtree(path)
            shutil.copytree(template, path, symlinks=True)
            os.remove(os.path.join(path, ".qb-ready"))
        self.set_windows_version(windows_version)

    def wine(self, *args):
        """The command line that runs a Windows program (or a Wine tool) in this prefix."""
        return [self.base_env["QB_WINE_LOADER"]] + list(args)

    def env(self, display, lang="C.UTF-8"):
        return dict(self.base_env, DISPLAY=display.name, LC_ALL=lang, LANG=lang)

    def reg(self, *args):
        _run(self.wine("reg", *args), env=self.base_env, check=False)

    def set_windows_version(self, version):
        self.reg("add", r"HKCU\Software\Wine", "/v", "Version", "/t", "REG_SZ", "/d", version, "/f")

    def user_dir(self):
        users = os.path.join(self.path, "drive_c", "users")
        return os.path.join(users, os.environ.get("USER") or "root")

    def appdata(self):
        return os.path.join(self.user_dir(), "AppData", "Roaming")

    def desktop(self):
        return os.path.join(self.user_dir(), "Desktop")

    def registry_key(self, key):
        """The values of one registry key as {name: str or int} (REG_SZ and REG_DWORD), or None
        when there is no such key. Read through `reg export`, whose UTF-16 file keeps every
        character (reg query's console output would not)."""
        out = os.path.join(self.path, "export.reg")
        if os.path.exists(out):
            os.remove(out)
        _run(self.wine("reg", "export", key, "Z:" + out.replace("/", "\\"), "/y"),
             env=self.base_env, check=False)
        if not os.path.exists(out):
            return None
        with open(out, "rb") as f:
            text = f.read().decode("utf-16")
        os.remove(out)
        values = {}
        for line in text.splitlines():
            m = re.match(r'^"((?:[^"\\]|\\.)*)"='
                         r'(?:"((?:[^"\\]|\\.)*)"|dword:([0-9a-fA-F]{8}))$', line)
            if m:
                values[_reg_unescape(m.group(1))] = (_reg_unescape(m.group(2)) if m.group(3) is None
                                                     else int(m.group(3), 16))
        return values

    def user_path_value(self):
        """The user's stored Path (HKCU\\Environment), or None when absent."""
        out = _run(self.wine("reg", "query", r"HKCU\Environment", "/v", "Path"),
                   env=self.base_env, check=False).stdout
        for line in out.splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) == 3 and parts[0].lower() == "path":
                return parts[2]
        return None

    def kill(self):
        subprocess.run([self.base_env["QB_WINESERVER"], "-k"], env=self.base_env, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Process:
    def __init__(self, cmd, env, log_path, cwd=None):
        self.log = open(log_path, "wb")
        self.proc = subprocess.Popen(cmd, env=env, stdout=self.log, stderr=subprocess.STDOUT,
                                     start_new_session=True, cwd=cwd)

    def running(self):
        return self.proc.poll() is None

    def wait(self, timeout):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, sig)
            except ProcessLookupError:
                pass
            if self.wait(5) is None:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.log.close()
        return self.proc.returncode


class Window:
    """The installer's window on the display, found by its title."""

    def __init__(self, display, title="\u5c9a\u821f", timeout=60):
        self.display = display
        deadline = time.time() + timeout
        self.id = None
        while time.time() < deadline:
            self.id = self._find(title)
            if self.id is not None:
                break
            time.sleep(0.2)
        if self.id is None:
            raise TimeoutError("installer window did not appear; the display's top-level "
                               "windows: " + "; ".join(self._top_level()))
        self.refresh_geometry()

    def _find(self, title):
        """A viewable top-level window with this title. xwininfo reads _NET_WM_NAME, which Wine
        always writes as UTF-8; WM_NAME, where xdotool looks, depends on the locale Xlib runs in
        and can hold "??" for a Chinese title."""
        for line in self._top_level():
            words = line.split()
            if '"%s":' % title in line and self._viewable(words[0]):
                return str(int(words[0], 16))
        return None

    def _top_level(self):
        out = _run(["xwininfo", "-root", "-children"], env=self.display.env(), check=False).stdout
        return [line.strip() for line in out.splitlines() if line.strip().startswith("0x")]

    def _viewable(self, window):
        out = _run(["xwininfo", "-id", window], env=self.display.env(), check=False).stdout
        return "IsViewable" in out

    def refresh_geometry(self):
        out = _run(["xdotool", "getwindowgeometry", "--shell", self.id],
                   env=self.display.env()).stdout
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        self.x, self.y = int(values["X"]), int(values["Y"])
        self.w, self.h = int(values["WIDTH"]), int(values["HEIGHT"])

    def exists(self):
        return _run(["xdotool", "getwindowname", self.id], env=self.display.env(),
                    check=False).returncode == 0

    def point_at(self, pos, lit, what):
        """Moves the pointer onto `pos` and waits until the window shows it there (`lit`, a
        predicate on the window's pixels: the hover colour of what is under it). No window
        manager under Xvfb: the pointer itself is moved. Until the window has seen the pointer,
        it is nudged one pixel to and fro, each move a fresh motion for Wine."""
        env = self.display.env()
        x, y = self.x + pos[0], self.y + pos[1]
        nudge = [0]

        def moved_and_lit(pixels):
            if lit(pixels):
                return True
            _run(["xdotool", "mousemove", str(x + nudge[0]), str(y)], env=env)
            nudge[0] ^= 1
            return False

        self.wait_for_pixels(moved_and_lit, "the pointer on " + what)

    def point_at_button(self):
        self.point_at(BUTTON_CENTRE, lambda px: px.at(BUTTON_FRAME) == BUTTON_FRAME_HOVER_RGB,
                      "the button (its frame in the hover colour)")

    def click_button(self):
        self.point_at_button()
        self.press()

    def click_close_box(self):
        # The main window does not light its close box under the pointer, so there is nothing on
        # the screen to wait for: the move is waited for on the X server, and the window takes
        # the motion before the press that follows it, which carries its own position.
        _run(["xdotool", "mousemove", "--sync", str(self.x + CLOSE_BOX_CENTRE[0]),
              str(self.y + CLOSE_BOX_CENTRE[1])], env=self.display.env())
        self.press()

    def move_off_button(self, timeout=20):
        """Moves the pointer away onto the window's plain middle and waits until the button, if
        there is one, is drawn without the hover colour."""
        self.hover(AWAY_FROM_BUTTON)
        self.wait_for_pixels(lambda px: px.at(BUTTON_FRAME) != BUTTON_FRAME_HOVER_RGB,
                             "the button drawn without the pointer on it", timeout)

    def press(self):
        """A click where the pointer is."""
        _run(["xdotool", "click", "1"], env=self.display.env())

    def hover(self, pos):
        _run(["xdotool", "mousemove", str(self.x + pos[0]), str(self.y + pos[1])],
             env=self.display.env())

    def screenshot(self, path):
        """Saves the window's area of the screen as a PNG."""
        geometry = f"{self.w}x{self.h}+{self.x}+{self.y}"
        _run(["import", "-window", "root", "-crop", geometry, "+repage", path],
             env=self.display.env())
        return path

    def pixels(self):
        """The window's area of the screen now, one grab."""
        geometry = f"{self.w}x{self.h}+{self.x}+{self.y}"
        out = subprocess.run(["import", "-window", "root", "-crop", geometry, "+repage",
                              "-depth", "8", "ppm:-"], env=self.display.env(), check=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120).stdout
        return Pixels(out)

    def wait_for_pixels(self, predicate, what, timeout=20, interval=0.1):
        """Grabs the window until `predicate(pixels)` holds; raises TimeoutError naming `what`
        and keeps the last grab beside the temporary files when it never does."""
        deadline = time.time() + timeout
        while True:
            pixels = self.pixels()
            if predicate(pixels):
                return pixels
            if time.time() >= deadline:
                kept = os.path.join(tempfile.gettempdir(), "qbdrive-wait-%d.ppm" % os.getpid())
                with open(kept, "wb") as f:
                    f.write(pixels.ppm)
                raise TimeoutError("the window did not show %s within %d s (last grab: %s)"
                                   % (what, timeout, kept))
            time.sleep(interval)

    def pixel(self, pos):
        return self.pixels().at(pos)

    def shows_button(self):
        return self.pixel(BUTTON_FRAME) in (BUTTON_FRAME_RGB, BUTTON_FRAME_HOVER_RGB)


class Pixels:
    """One grab of the window: a binary PPM (P6, 8 bits) as ImageMagick writes it."""

    def __init__(self, ppm):
        self.ppm = ppm
        fields = []
        i = 0
        while len(fields) < 4:
            while ppm[i:i + 1].isspace():
                i += 1
            if ppm[i:i + 1] == b"#":
                i = ppm.index(b"\n", i)
                continue
            start = i
            while not ppm[i:i + 1].isspace():
                i += 1
            fields.append(ppm[start:i])
        if fields[0] != b"P6" or int(fields[3]) != 255:
            raise ValueError("not an 8-bit binary PPM: %r" % ppm[:20])
        self.w, self.h = int(fields[1]), int(fields[2])
        self.data = ppm[i + 1:]

    def at(self, pos):
        x, y = pos
        if not (0 <= x < self.w and 0 <= y < self.h):
            return None
        k = (y * self.w + x) * 3
        return tuple(self.data[k:k + 3])


def wait_until(predicate, timeout, interval=0.25):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()
