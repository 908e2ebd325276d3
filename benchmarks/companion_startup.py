#!/usr/bin/env python3
"""How long an AI client waits on the companion `frameweaver-mcp`, measured on this machine.

  (a) cold start: companion start to the answer to "initialize" when the companion must launch
      the application, beside the application's own start (launched with the automation marker)
      to its automation socket listening;
  (b) warm start: companion start to the answer to "initialize" with the application running;
  (c) tools/call "get_capabilities" round trips through the companion, beside the same call over
      the socket directly (BM_ToolCallThroughSocketServer of SocketServerBenchmark, when the
      build has benchmarks).

The build tree is installed into a temporary prefix and driven as an AI client would, with a
private home and configuration and automation enabled. Applications started here are ended
before the script exits.

Usage: benchmarks/companion_startup.py [BUILD_DIR] [RUNS]   (default build/release, 10 runs)"""
import os
import plistlib
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(top, "tests", "bridge"))
from CompanionClient import (CompanionClient, remove_socket_files, socket_path,  # noqa: E402
                             stop_applications)

REQUEST = {"name": "get_capabilities", "arguments": {}}


def summary(values, unit=1000.0, suffix="ms"):
    values = sorted(values)
    p90 = values[min(len(values) - 1, int(len(values) * 0.9))]
    return "median %.1f %s, min %.1f, p90 %.1f (n=%d)" % (
        statistics.median(values) * unit, suffix, values[0] * unit, p90 * unit, len(values))


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(top, "build",
                                                                                "release"))
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    work = tempfile.mkdtemp(prefix="fwv-companion-bench-")
    prefix = os.path.join(work, "prefix")
    bundle = os.path.join(prefix, "Frameweaver.app")
    executable = os.path.join(bundle, "Contents", "MacOS", "Frameweaver")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        executable = os.path.realpath(executable)
        for sub in ("home", "config/Frameweaver", "cache", "run"):
            os.makedirs(os.path.join(work, sub), mode=0o700)
        with open(os.path.join(work, "config", "Frameweaver", "UserDefaults.plist"), "wb") as f:
            plistlib.dump({"Frameweaver.LocalAutomationEnabled": True}, f,
                          fmt=plistlib.FMT_BINARY)
        env = dict(os.environ, HOME=os.path.join(work, "home"),
                   XDG_CONFIG_HOME=os.path.join(work, "config"),
                   XDG_CACHE_HOME=os.path.join(work, "cache"),
                   XDG_RUNTIME_DIR=os.path.join(work, "run"), QT_QPA_PLATFORM="offscreen",
                   DBUS_SESSION_BUS_ADDRESS="unix:path=" + os.path.join(work, "no-bus"))
        companion = [os.path.join(prefix, "bin", "frameweaver-mcp")]
        stderr = os.path.join(work, "companion.stderr")
        socket = socket_path(bundle)

        # The application's own start to listening.
        own = []
        for _ in range(runs):
            if os.path.exists(socket):
                os.unlink(socket)
            started = time.monotonic()
            app = subprocess.Popen([executable, "--frameweaver-automation-launch"], env=env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
            while not os.path.exists(socket):
                if app.poll() is not None:
                    raise SystemExit("the application ended at start")
                time.sleep(0.001)
            own.append(time.monotonic() - started)
            app.terminate()
            app.wait()

        def first_answer():
            client = CompanionClient(companion, env, stderr)
            try:
                started = time.monotonic()
                client.initialize(timeout=60)
                elapsed = time.monotonic() - started
                client.close_input()
                client.wait(60)
                return elapsed
            finally:
                client.finish()

        cold = []
        for _ in range(runs):
            stop_applications(executable)
            cold.append(first_answer())
        warm = [first_answer() for _ in range(runs * 3)]

        client = CompanionClient(companion, env, stderr)
        try:
            client.initialize(timeout=60)
            for _ in range(50):
                client.call(REQUEST["name"])
            trips = []
            for _ in range(runs * 100):
                started = time.perf_counter()
                client.call(REQUEST["name"])
                trips.append(time.perf_counter() - started)
            client.close_input()
            client.wait(60)
        finally:
            client.finish()

        print("build: %s" % build)
        print("(a) application's own start to listening: %s" % summary(own))
        print("(a) cold start, companion to first answer: %s" % summary(cold))
        print("(b) warm start, companion to first answer: %s" % summary(warm))
        print("(c) tools/call through the companion:     %s" % summary(trips, 1e6, "us"))
        direct = os.path.join(build, "benchmarks", "SocketServerBenchmark")
        if os.path.exists(direct):
            print("(c) the same call over the socket directly:")
            sys.stdout.flush()
            subprocess.run([direct, "--benchmark_filter=BM_ToolCallThroughSocketServer"],
                           check=False)
        else:
            print("(c) direct: this build has no SocketServerBenchmark")
        return 0
    finally:
        stop_applications(executable)
        remove_socket_files(bundle)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
