"""The demo: the reference service with the demo package, signed with the build's demo key, and
the demo deployment's installer (quillbank-setup-demo.exe) under Wine.
With a DISPLAY the person at the screen clicks; without one it drives itself on Xvfb."""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qbdrive  # noqa: E402
import scenario  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True, help="the Windows build whose program runs")
    parser.add_argument("--arch", required=True, choices=["win32", "win64"])
    args = parser.parse_args()
    build = scenario.WindowsBuild(args.build_dir, args.arch, signed=True)
    work = os.path.join(scenario.ROOT, "build", "demo")
    interactive = bool(os.environ.get("DISPLAY"))
    with scenario.InstallerRun(build, work, prefix_dir=os.path.join(work, "prefix")) as run:
        if interactive:
            print("demo: the installer window is open on %s; click \"Install\", then \"Open\"."
                  % run.display.name, flush=True)
            run.start_installer()
            run.installer.wait(None)
            problems = [] if run.installed() else ["the installation did not complete"]
        else:
            print("demo: no DISPLAY; driving the installer on Xvfb %s" % run.display.name,
                  flush=True)
            problems = run.install_and_open()
        print("demo: install folder  %s" % run.install_dir())
        print("demo: install log     %s" % os.path.join(run.install_dir(), "log", "install.log"))
        print("demo: service log     %s" % os.path.join(work, "service.log"))
        for shot in run.screenshots:
            print("demo: screenshot      %s" % shot)
        if run.launch_record() is not None:
            print("demo: terminal started with: %s" % run.launch_record())
    if problems:
        for p in problems:
            print("demo: FAILED: " + p)
        return 1
    print("demo: the installation completed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
