#!/usr/bin/env python3
"""Installs at once through HAProxy while both instances behind it are upgraded, one after the
other, as the operators' recipe in README.md goes; every install is checked against the version
it was offered.

    rolling_upgrade_soak.py --service SERVICE --client QB_ROLLING_SOAK_CLIENT
                            [--workers 64] [--files 24] [--kib 2048] [--work DIR]

Two instances of SERVICE serve a releases folder each (5.17 announced) behind service/haproxy.cfg,
which holds the deployment's addresses, so nothing else may listen there meanwhile (another
end-to-end run, scripts/demo). The client runs --workers installs at once, each one after the
other, until told to stop: update check and module list through HAProxy, then the download,
which after a loss reconnects and asks again, with the records it was given, for the files it
lacks. The upgrade, timed from its first step to its last:
  1. 5.18 (every file other than in 5.17) copied into each instance's releases folder, each
     reloaded (SIGHUP): both can serve it, none announces it;
  2. for each instance in turn: 5.18 written into its "current" and a reload; then the instance
     restarted, as for an upgrade of the program: the first stopped with SIGTERM (its drain lets
     the downloads it serves end), the second killed (SIGKILL), which cuts every download it
     serves: they resume on the other through HAProxy; the next instance only once this one
     answers its health check again and HAProxy had time to take it back.
The figures: installs, failed installs and mixed installs (both must be 0), downloads that
resumed, installs of each version, and the time the upgrade took.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import time
import urllib.request

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "e2e"))
import scenario  # noqa: E402

HAPROXY = "/usr/sbin/haproxy"
HAPROXY_CONFIG = os.path.join(ROOT, "service", "haproxy.cfg")
HOSTS = ("127.0.1.1", "127.0.1.2")
UPDATE = "127.0.0.21:31711"
DOWNLOAD = ("127.0.0.22", 31712)


def make_tree(folder, files, kib, seed):
    """`files` data files of `kib` KiB (quote-like lines, compressible as real data is) and a
    terminal; `seed` makes each version's bytes its own."""
    os.makedirs(os.path.join(folder, "Data", "Quotes"), exist_ok=True)
    with open(os.path.join(folder, "quillbank ix.exe"), "wb") as f:
        f.write(b"MZ soak terminal %d" % seed)
    for i in range(files):
        line = b"%08d,%d.%02d,%d\n"
        rows = []
        size = 0
        n = 0
        while size < kib * 1024:
            row = line % (n, 10 + (n * 7 + seed) % 90, (n * 13 + i) % 100, (n * seed + i) % 9999)
            rows.append(row)
            size += len(row)
            n += 1
        with open(os.path.join(folder, "Data", "Quotes", "S%04d.day" % i), "wb") as f:
            f.write(b"".join(rows)[:kib * 1024])


def pack(service, tree, out, version):
    subprocess.run([service, "pack", tree, out, "--version", version], check=True,
                   stdout=subprocess.DEVNULL)


def log_count(path, text):
    if not os.path.exists(path):
        return 0
    with open(path, encoding="utf-8", errors="replace") as f:
        return sum(1 for line in f if text in line)


def healthy(host):
    try:
        with urllib.request.urlopen("http://%s:9731/healthz" % host, timeout=1) as r:
            return r.status == 200
    except OSError:
        return False


def wait_until(predicate, timeout, what):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise SystemExit("rolling upgrade soak: %s" % what)


class Instance:
    def __init__(self, service, host, releases, work):
        self.service, self.host, self.releases = service, host, releases
        self.log = os.path.join(work, "service-%s.log" % host)
        self.process = None

    def start(self):
        self.out = open(self.log + ".out", "ab")
        self.process = subprocess.Popen(
            [self.service, "serve", "--releases", self.releases, "--log", self.log,
             "--query", self.host, "--update", self.host, "--download", self.host,
             "--advertise", "%s:%d" % DOWNLOAD, "--metrics", self.host + ":9731",
             "--drain", "3"], stdout=self.out, stderr=subprocess.STDOUT,
            start_new_session=True)
        wait_until(lambda: healthy(self.host) or self.process.poll() is not None, 30,
                   "instance %s did not start; see %s" % (self.host, self.log))
        if self.process.poll() is not None:
            raise SystemExit("rolling upgrade soak: instance %s stopped; see %s"
                             % (self.host, self.log))

    def reload(self):
        done = log_count(self.log, "reload done")
        self.process.send_signal(signal.SIGHUP)
        wait_until(lambda: log_count(self.log, "reload done") > done, 30,
                   "instance %s did not reload" % self.host)

    def stop(self, sig=signal.SIGTERM):
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(sig)
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.out.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--client", required=True)
    parser.add_argument("--workers", type=int, default=64)
    parser.add_argument("--files", type=int, default=24)
    parser.add_argument("--kib", type=int, default=2048)
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "bench", "rolling-soak"))
    args = parser.parse_args()
    if not os.access(HAPROXY, os.X_OK):
        raise SystemExit("rolling upgrade soak: no %s (scripts/setup installs haproxy)" % HAPROXY)
    if scenario.wait_listening(*DOWNLOAD, timeout=0.5):
        raise SystemExit("rolling upgrade soak: something listens on %s:%d already" % DOWNLOAD)
    work = args.work
    if os.path.isdir(work):
        shutil.rmtree(work)
    versions = os.path.join(work, "versions")
    for seed, version in ((1, "5.17"), (2, "5.18")):
        tree = os.path.join(work, "tree-" + version)
        make_tree(tree, args.files, args.kib, seed)
        pack(args.service, tree, os.path.join(versions, version), version)
    instances = []
    for host in HOSTS:
        releases = os.path.join(work, "releases-" + host)
        os.makedirs(releases)
        shutil.copytree(os.path.join(versions, "5.17"), os.path.join(releases, "5.17"))
        with open(os.path.join(releases, "current"), "w") as f:
            f.write("5.17\n")
        instances.append(Instance(args.service, host, releases, work))
    stop_file = os.path.join(work, "stop")
    balancer = client = None
    try:
        for instance in instances:
            instance.start()
        balancer = subprocess.Popen([HAPROXY, "-f", HAPROXY_CONFIG, "-db"],
                                    stdout=open(os.path.join(work, "haproxy.out"), "wb"),
                                    stderr=subprocess.STDOUT, start_new_session=True)
        wait_until(lambda: scenario.wait_listening(*DOWNLOAD, timeout=0.5), 30,
                   "HAProxy did not start")
        time.sleep(2.5)  # both servers seen up by HAProxy's health checks
        client_out = os.path.join(work, "client.out")
        client = subprocess.Popen([args.client, UPDATE, "100201", str(args.workers), versions,
                                   stop_file], stdout=open(client_out, "wb"),
                                  stderr=subprocess.STDOUT)
        time.sleep(3)  # installs of 5.17 under way, some done
        started = time.time()
        for instance in instances:
            shutil.copytree(os.path.join(versions, "5.18"),
                            os.path.join(instance.releases, "5.18"))
            instance.reload()
        for instance in instances:
            with open(os.path.join(instance.releases, "current"), "w") as f:
                f.write("5.18\n")
            instance.reload()
            # The first stopped as operators stop one (its drain lets the downloads it serves
            # end), the second killed, which cuts every download it serves.
            instance.stop(signal.SIGTERM if instance is instances[0] else signal.SIGKILL)
            instance.start()
            time.sleep(2.5)  # HAProxy takes it back (rise 2, inter 1 s)
        upgrade_s = time.time() - started
        time.sleep(3)  # installs of 5.18
        with open(stop_file, "w") as f:
            f.write("stop")
        client.wait(300)
    finally:
        if client is not None and client.poll() is None:
            client.kill()
        if balancer is not None:
            balancer.terminate()
            balancer.wait()
        for instance in instances:
            instance.stop()
    with open(client_out, encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    totals = [l for l in lines if l.startswith("totals ")]
    if not totals:
        raise SystemExit("rolling upgrade soak: the client gave no totals; see " + client_out)
    figures = dict(item.split("=", 1) for item in totals[-1].split()[1:])
    for line in lines:
        if line.startswith("install ") and " ok " not in line:
            print("rolling upgrade soak: " + line)
    print("rolling upgrade soak: %d installs at once (%d files of %d KiB), both instances "
          "upgraded 5.17 -> 5.18 in %.1f s (copied and reloaded, then each switched, reloaded "
          "and restarted in turn, the second one killed)" % (args.workers, args.files, args.kib, upgrade_s))
    print("rolling upgrade soak: installs %s: ok %s (5.17: %s, 5.18: %s), failed %s, mixed %s, "
          "corrupt %s; downloads resumed after a cut: %s"
          % (figures["installs"], figures["ok"], figures.get("ok_5.17", "0"),
             figures.get("ok_5.18", "0"), figures["failed"], figures["mixed"],
             figures["corrupt"], figures["reconnects"]))
    return 0 if client.returncode == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
