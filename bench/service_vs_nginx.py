#!/usr/bin/env python3
"""The reference service beside nginx, serving the same files with the same number of downloads
at once: Debian's nginx (sendfile on, access log off, a private configuration and prefix under
the work folder) and quillbank-service serve (the Release build), both on loopback ports of
their own, in the same run.

    service_vs_nginx.py --service SERVICE --client QB_DOWNLOAD_CLIENT
                        [--downloads 1,8,64] [--mib 2048] [--runs 3]

The package is the one the service-throughput benchmark serves: 16 files of 1 MiB of quote-like
data (`qb_download_client package` writes it). One download is all 16 files: for the service an
update check and then a download connection that links and asks for every module, as an
installer does; for nginx one HTTP/1.1 connection that asks for the 16 files at once
(pipelined). Both clients are qb_download_client, which only counts what arrives. Each figure is
at least --mib MiB of file data (rounds of N downloads at once), the median of --runs.

Reports file data per second (ours/nginx: the median of the ratios of runs taken in turn), and
the server's processor time per GiB served: user + system time
of the server's processes (nginx's master and workers; the service and any processes it starts),
from /proc/PID/stat right before and after the downloads. The service does more for each byte
than nginx by design: every message is enciphered for its session (and compressed once, kept in
the message cache), where nginx hands the file to the kernel (sendfile).

Both run with one worker; when `quillbank-service serve --help` lists --workers, again with the
service's default number of workers and nginx with as many.
"""
import argparse
import os
import re
import shutil
import socket
import subprocess
from statistics import median_high as median  # of an even count, the upper of the two middle ones
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "e2e"))
import scenario  # noqa: E402

MIB = 1 << 20
GIB = 1 << 30
NGINX = "/usr/sbin/nginx"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def process_tree(pid):
    """pid and every process below it."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue
        children.setdefault(ppid, []).append(int(entry))
    tree, todo = [], [pid]
    while todo:
        p = todo.pop()
        tree.append(p)
        todo.extend(children.get(p, []))
    return tree


def cpu_seconds(pid):
    """utime + stime of pid and the processes below it (every thread of each included)."""
    tick = os.sysconf("SC_CLK_TCK")
    total = 0
    for p in process_tree(pid):
        try:
            with open("/proc/%d/stat" % p) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        total += int(fields[11]) + int(fields[12])
    return total / tick


def service_workers(service):
    """None when the service has no --workers option, else its default number of workers (the
    number its --help gives as the default, else one per processor)."""
    text = subprocess.run([service, "serve", "--help"], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True).stdout
    line = next((l for l in text.splitlines() if l.strip().startswith("--workers")), None)
    if line is None:
        return None
    found = re.search(r"default:? *(\d+)", line)
    return int(found.group(1)) if found else os.cpu_count()


# -- the servers -------------------------------------------------------------------------------

class Nginx:
    def __init__(self, work, package, workers):
        self.prefix = os.path.join(work, "nginx")
        if os.path.isdir(self.prefix):
            shutil.rmtree(self.prefix)
        os.makedirs(os.path.join(self.prefix, "logs"))
        self.port = free_port()
        conf = os.path.join(self.prefix, "nginx.conf")
        temp = "\n".join("    %s_temp_path %s/%s;" % (t, self.prefix, t)
                         for t in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        with open(conf, "w") as f:
            f.write("""daemon off;
master_process on;
worker_processes %d;
pid %s/nginx.pid;
error_log %s/logs/error.log warn;
events { worker_connections 4096; }
http {
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    access_log off;
    keepalive_requests 100000;
%s
    server {
        listen 127.0.0.1:%d;
        root %s;
    }
}
""" % (workers, self.prefix, self.prefix, temp, self.port, os.path.abspath(package)))
        self.log = open(os.path.join(self.prefix, "nginx.out"), "wb")
        self.process = subprocess.Popen([NGINX, "-p", self.prefix, "-c", conf,
                                         "-e", os.path.join(self.prefix, "logs", "error.log")],
                                        stdout=self.log, stderr=subprocess.STDOUT,
                                        start_new_session=True)
        if not scenario.wait_listening("127.0.0.1", self.port) or self.process.poll() is not None:
            raise SystemExit("service vs nginx: nginx did not start; see %s/logs" % self.prefix)
        self.address = "127.0.0.1:%d" % self.port

    def stop(self):
        self.process.terminate()
        self.process.wait()
        self.log.close()


class Service:
    def __init__(self, work, service, package, workers):
        self.query, self.update, self.download = free_port(), free_port(), free_port()
        self.log = open(os.path.join(work, "service.log"), "wb")
        cmd = [service, "serve", "--package", package, "--quiet",
               "--query", "127.0.0.1:%d" % self.query, "--update", "127.0.0.1:%d" % self.update,
               "--download", "127.0.0.1:%d" % self.download]
        if workers is not None:
            cmd += ["--workers", str(workers)]
        self.process = subprocess.Popen(cmd, stdout=self.log, stderr=subprocess.STDOUT,
                                        start_new_session=True)
        for port in (self.update, self.download):
            if not scenario.wait_listening("127.0.0.1", port) or self.process.poll() is not None:
                raise SystemExit("service vs nginx: the service did not start; see "
                                 + self.log.name)
        self.address = "127.0.0.1:%d" % self.update

    def stop(self):
        self.process.terminate()
        self.process.wait()
        self.log.close()


# -- the downloads -----------------------------------------------------------------------------

def measure(client, mode, server, package, downloads, rounds):
    """(bytes, seconds, server CPU seconds, client CPU seconds) of `rounds` rounds of
    `downloads` downloads at once."""
    cmd = [client, mode, server.address, "--downloads", str(downloads), "--rounds", str(rounds)]
    if mode == "http":
        cmd += ["--package", package]
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    ready = proc.stdout.readline().strip()
    if ready != "ready":
        proc.kill()
        proc.wait()
        raise SystemExit("service vs nginx: the %s client did not get ready" % mode)
    before = cpu_seconds(server.process.pid)
    proc.stdin.write("go\n")
    proc.stdin.flush()
    result = proc.stdout.readline().split()
    after = cpu_seconds(server.process.pid)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0 or len(result) != 4:
        raise SystemExit("service vs nginx: %d downloads at once from %s (%s) failed"
                         % (downloads, mode, server.address))
    return (int(result[1]), float(result[3]), after - before, usage.ru_utime + usage.ru_stime)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True, help="quillbank-service (a Release build)")
    parser.add_argument("--client", required=True, help="qb_download_client of the same build")
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "bench", "service-vs-nginx"))
    parser.add_argument("--downloads", default="1,8,64", help="downloads at once, comma-separated")
    parser.add_argument("--mib", type=int, default=2048, help="file data of each figure, at least")
    parser.add_argument("--runs", type=int, default=3, help="runs to take the median of")
    args = parser.parse_args()
    if not os.access(NGINX, os.X_OK):
        raise SystemExit("service vs nginx: no %s (scripts/setup installs nginx-light)" % NGINX)
    os.makedirs(args.work, exist_ok=True)
    package = os.path.join(args.work, "package")
    if not os.path.isfile(os.path.join(package, "package.json")):
        subprocess.run([args.client, "package", package], check=True)
    download_bytes = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(package)
                         for f in fs if f != "package.json")
    counts = [int(n) for n in args.downloads.split(",")]

    default_workers = service_workers(args.service)
    settings = [1] if default_workers is None else sorted({1, default_workers})
    status = 0
    for workers in settings:
        nginx = Nginx(args.work, package, workers)
        try:
            service = Service(args.work, args.service, package,
                              None if default_workers is None else workers)
        except BaseException:
            nginx.stop()
            raise
        try:
            print("service vs nginx: %d files, %.1f MiB a download; %d worker%s each%s; at least "
                  "%d MiB a figure, median of %d runs; %d processors"
                  % (sum(1 for _, _, fs in os.walk(package) for f in fs if f != "package.json"),
                     download_bytes / MIB, workers, "" if workers == 1 else "s",
                     " (the service has no --workers: one event loop)"
                     if default_workers is None else "", args.mib, args.runs, os.cpu_count()),
                  flush=True)
            print("  %-9s %-27s %-27s %s" % ("at once", "nginx", "quillbank-service",
                                              "ours/nginx"))
            print("  %-9s %9s %9s %7s %9s %9s %7s %7s %7s"
                  % ("", "MB/s", "CPU s/GiB", "client", "MB/s", "CPU s/GiB", "client",
                     "MB/s", "CPU"))
            for n in counts:
                rounds = max(1, -(-args.mib * MIB // (n * download_bytes)))
                # The two servers take turns, run by run, and the ratio is the median of each
                # pair's: a machine whose speed drifts during the figure (other guests on the
                # same host) then weighs on both alike.
                runs = {"nginx": [], "ours": []}
                for _ in range(args.runs):
                    for name, mode, server in (("nginx", "http", nginx),
                                               ("ours", "protocol", service)):
                        runs[name].append(measure(args.client, mode, server, package, n, rounds))
                figures = {}
                for name in runs:
                    figures[name] = (
                        median([b / s / 1e6 for b, s, _, _ in runs[name]]),
                        median([cpu / (b / GIB) for b, _, cpu, _ in runs[name]]),
                        median([c / (b / GIB) for b, _, _, c in runs[name]]))
                ratio = median([(ob / os_) / (nb / ns) for (nb, ns, _, _), (ob, os_, _, _)
                                in zip(runs["nginx"], runs["ours"])])
                (nr, nc, ncl), (sr, sc, scl) = figures["nginx"], figures["ours"]
                # nginx's time can be below the clock's tick (10 ms) for a whole figure.
                print("  %-9d %9.1f %9.3f %7.3f %9.1f %9.3f %7.3f %7.2f %7s"
                      % (n, nr, nc, ncl, sr, sc, scl, ratio,
                         "%.2f" % (sc / nc) if nc else "-"), flush=True)
        except SystemExit as e:
            print(e, flush=True)
            status = 1
        finally:
            service.stop()
            nginx.stop()
    print("  (CPU s/GiB: the server's processes' user + system time per GiB of file data; client: "
          "the downloading program's own, on the same machine)")
    return status


if __name__ == "__main__":
    sys.exit(main())
