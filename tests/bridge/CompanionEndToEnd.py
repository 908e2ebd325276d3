"""End to end: an AI client's road through the installed companion to the real application.

The build tree is installed into a temporary prefix, and the client starts the companion through
the symbolic link on PATH, as a client configuration would. The companion launches the
application itself (offscreen, hidden), and the client drives the six tools: an export of
generated stills into an authorized folder (the movie checked with ffprobe), its status, and a
cancelled second export. Closing standard input ends the companion with status 0 once the
application has closed the connection. With automation disabled the companion gives up with the
start-up message after eight seconds and status 1. Every application started is ended at the
end, whatever happened.

Those scenarios give the companion the whole environment and no reachable session bus, so it
starts the application itself. Another one runs in a desktop session of its own, as an AI
client that passes only HOME and PATH would see it: a session bus at the user's standard address
(/run/user/UID/bus, in a private mount namespace so that nothing of the machine's /run/user is
touched), whose environment holds the display (the offscreen platform) and the user's folders;
the companion, started under `env -i`, must have the bus start the application and answer
"tools/list". That scenario needs to make a mount namespace (root); elsewhere it is skipped
with a notice.

Usage: CompanionEndToEnd.py CMAKE BUILD_DIR AUTHORIZE_FOLDER_TOOL
       CompanionEndToEnd.py --in-session PREFIX ROOT   (inside the namespace)"""
import os
import hashlib
import plistlib
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from CompanionClient import (CompanionClient, ClientError, application_processes,  # noqa: E402
                             remove_socket_files, stop_applications)

STARTUP_MESSAGE = ("Frameweaver MCP bridge: Startup exceeded eight seconds. Check Frameweaver\u2019s"
                   " Automation Settings and restart the bridge.\n")
ENABLED_KEY = "Frameweaver.LocalAutomationEnabled"
# Where the installation keeps the bundle, below the prefix.
BUNDLE = os.path.join("lib", "frameweaver", "Frameweaver.app")


class Failure(Exception):
    pass


def check(condition, text):
    if not condition:
        raise Failure(text)


def await_condition(limit, probe, text):
    deadline = time.monotonic() + limit
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(text)
        time.sleep(0.1)


class Scenario:
    """A private user: home, configuration, runtime folder, and the companion's environment."""

    def __init__(self, root, name, prefix):
        self.root = os.path.join(root, name)
        for sub in ("home", "config", "cache", "run"):
            os.makedirs(os.path.join(self.root, sub), mode=0o700)
        self.env = dict(os.environ)
        self.env.update({
            "HOME": os.path.join(self.root, "home"),
            "XDG_CONFIG_HOME": os.path.join(self.root, "config"),
            "XDG_CACHE_HOME": os.path.join(self.root, "cache"),
            "XDG_RUNTIME_DIR": os.path.join(self.root, "run"),
            "QT_QPA_PLATFORM": "offscreen",
            # No session bus: no scripted actions and no secret service, which is not needed.
            "DBUS_SESSION_BUS_ADDRESS": "unix:path=" + os.path.join(self.root, "no-bus"),
            "PATH": os.path.join(prefix, "bin") + os.pathsep + os.environ.get("PATH", ""),
        })
        self.defaults = os.path.join(self.root, "config", "Frameweaver", "UserDefaults.plist")

    def set_automation(self, enabled):
        os.makedirs(os.path.dirname(self.defaults), exist_ok=True)
        values = {}
        if os.path.exists(self.defaults):
            with open(self.defaults, "rb") as f:
                values = plistlib.load(f)
        values[ENABLED_KEY] = enabled
        with open(self.defaults, "wb") as f:
            plistlib.dump(values, f, fmt=plistlib.FMT_BINARY)

    def authorize(self, tool, folder, mode):
        os.makedirs(folder, exist_ok=True)
        result = subprocess.run([tool, folder, mode], env=self.env, capture_output=True,
                                text=True, timeout=120)
        check(result.returncode == 0, "could not authorize %s: %s" % (folder, result.stderr))
        return result.stdout.strip()

    def companion(self, name):
        return CompanionClient(["frameweaver-mcp"], self.env,
                               os.path.join(self.root, name + ".stderr"))

    def stderr(self, name):
        with open(os.path.join(self.root, name + ".stderr"), encoding="utf-8") as f:
            return f.read()


def make_stills(folder, count):
    os.makedirs(folder, exist_ok=True)
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i",
                    "testsrc=size=64x48:rate=10", "-frames:v", str(count),
                    os.path.join(folder, "still%d.png")], check=True, timeout=120)


def probe(movie):
    return subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_frames",
                           "-show_entries", "stream=codec_name,width,height,nb_read_frames",
                           "-of", "csv=p=0", movie], capture_output=True, text=True,
                          timeout=120).stdout.strip()


def drive_the_tools(scenario, tool, work, executable):
    scenario.set_automation(True)
    stills = scenario.authorize(tool, os.path.join(work, "Stills"), "read-only")
    movies = scenario.authorize(tool, os.path.join(work, "Movies"), "read-write")
    make_stills(os.path.join(work, "Stills"), 6)

    client = scenario.companion("enabled")
    try:
        started = time.monotonic()
        try:
            info = client.initialize(timeout=60)
            print("cold start to the first answer: %.2f s" % (time.monotonic() - started))
        except ClientError:
            # A sanitizer build on a loaded machine may take longer than the companion's eight
            # seconds to start listening. Then the application it launched is still coming up,
            # and the next companion must wait for it rather than launch another.
            if not (client.wait(60) == 1 and scenario.stderr("enabled") == STARTUP_MESSAGE and
                    application_processes(executable)):
                raise
            print("the launched application took over eight seconds to listen; reconnecting")
            client.finish()
            client = scenario.companion("reconnected")
            info = client.initialize(timeout=60)
            check(len(application_processes(executable)) == 1, "a second application started")
        check(info["serverInfo"]["name"] == "Frameweaver", "unexpected server: %s" % info)
        check("tools" in info["capabilities"], "no tools capability: %s" % info)

        names = [t["name"] for t in client.request("tools/list")["tools"]]
        check(names == ["get_capabilities", "list_authorized_folders", "inspect_sequence",
                        "export_movie", "get_export_status", "cancel_export"],
              "unexpected tools: %s" % names)

        folders = client.call("list_authorized_folders")["folders"]
        check([(f["id"], f["name"], f["writable"]) for f in folders] ==
              [(stills, "Stills", False), (movies, "Movies", True)],
              "unexpected folders: %s" % folders)

        sequence = client.call("inspect_sequence", {"folder_id": stills})
        accepted = sequence["accepted"]
        check([a["relative_path"] for a in accepted] == ["still%d.png" % i for i in range(1, 7)],
              "unexpected sequence: %s" % sequence)

        job = client.call("export_movie", {
            "inputs": accepted, "output": {"folder_id": movies, "relative_path": "trip.mp4"},
            "width": 64, "height": 48, "frame_rate": 10, "codec": "h264", "quality": "standard"})
        check(job["state"] == "running", "unexpected job: %s" % job)
        status = await_condition(
            600, lambda: (lambda s: s if s["state"] != "running" else None)(
                client.call("get_export_status", {"job_id": job["job_id"]})),
            "the export did not end")
        check(status["state"] == "completed" and status["completed_frames"] == 6 and
              status["total_frames"] == 6 and status["progress"] == 1,
              "unexpected status: %s" % status)
        check(probe(os.path.join(work, "Movies", "trip.mp4")) == "h264,64,48,6",
              "unexpected movie: %s" % probe(os.path.join(work, "Movies", "trip.mp4")))

        # A second copy of the companion finds the running application: no second launch.
        warm = scenario.companion("warm")
        try:
            started = time.monotonic()
            warm.initialize(timeout=60)
            print("warm start to the first answer: %.3f s" % (time.monotonic() - started))
            warm.close_input()
            check(warm.wait(60) == 0, "the second companion did not end cleanly")
        finally:
            warm.finish()
        check(scenario.stderr("warm") == "", "the second companion wrote: " + scenario.stderr("warm"))

        many = [accepted[i % 6] for i in range(300)]
        second = client.call("export_movie", {
            "inputs": many, "output": {"folder_id": movies, "relative_path": "long.mp4"},
            "width": 640, "height": 480, "codec": "h264"})
        cancel = client.call("cancel_export", {"job_id": second["job_id"]})
        check(cancel == {"cancelled": True, "job_id": second["job_id"]},
              "unexpected cancel: %s" % cancel)
        status = await_condition(
            300, lambda: (lambda s: s if s["state"] != "running" else None)(
                client.call("get_export_status", {"job_id": second["job_id"]})),
            "the cancelled export did not end")
        check(status["state"] == "cancelled", "unexpected status: %s" % status)
        check(not os.path.exists(os.path.join(work, "Movies", "long.mp4")),
              "a cancelled export left a movie")

        # The client closes its end: the application closes the connection, status 0.
        client.close_input()
        check(client.wait(60) == 0, "the companion did not end with status 0")
    finally:
        client.finish()
    last = "reconnected" if os.path.exists(os.path.join(scenario.root, "reconnected.stderr")) \
        else "enabled"
    check(scenario.stderr(last) == "", "the companion wrote: " + scenario.stderr(last))


def automation_disabled(scenario):
    scenario.set_automation(False)
    client = scenario.companion("disabled")
    try:
        started = time.monotonic()
        status = client.wait(120)
        elapsed = time.monotonic() - started
    finally:
        client.finish()
    check(status == 1, "status %s with automation disabled" % status)
    check(scenario.stderr("disabled") == STARTUP_MESSAGE,
          "unexpected message: %r" % scenario.stderr("disabled"))
    check(7.9 <= elapsed < 60, "gave up after %.1f s" % elapsed)


def copied_out(scenario, prefix, work):
    """A copy of the companion outside its bundle refuses to start."""
    elsewhere = os.path.join(work, "elsewhere", "bin", "frameweaver-mcp")
    os.makedirs(os.path.dirname(elsewhere))
    shutil.copy2(os.path.join(prefix, BUNDLE, "Contents", "MacOS", "frameweaver-mcp"), elsewhere)
    result = subprocess.run([elsewhere], env=scenario.env, stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=60)
    check(result.returncode == 1 and result.stdout == b"" and result.stderr ==
          b"Frameweaver MCP bridge: The connected peer belongs to another app installation\n",
          "a copy outside the bundle: status %d, %r" % (result.returncode, result.stderr))


SESSION_BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>session</type><listen>unix:path=%s</listen><standard_session_servicedirs/>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
<allow own="*"/></policy></busconfig>
"""


def service_name(executable):
    """The file name of the activation service of the installation running `executable`."""
    bundle = os.path.dirname(os.path.dirname(os.path.dirname(executable)))
    return ("com.Quillbrookstudio.Frameweaver.Installation.h" +
            hashlib.sha256(bundle.encode()).hexdigest()[:32] + ".service")


def start_session_bus(runtime, session_env, log):
    config = os.path.join(runtime, "..", "bus.conf")
    with open(config, "w") as f:
        f.write(SESSION_BUS_CONFIG % os.path.join(runtime, "bus"))
    daemon = subprocess.Popen(["dbus-daemon", "--config-file=" + config, "--nofork"],
                              env=session_env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=log, cwd="/tmp")
    await_condition(60, lambda: os.path.exists(os.path.join(runtime, "bus")),
                    "the session bus did not start")
    return daemon


def in_session(prefix, root):
    """Inside a private mount namespace: the user's runtime folder with the session bus in it,
    and a companion that knows nothing but HOME and PATH."""
    executable = os.path.realpath(os.path.join(prefix, BUNDLE, "Contents", "MacOS", "Frameweaver"))
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "fwv-session", "/run/user"],
                   check=True, timeout=60)
    runtime = "/run/user/%d" % os.getuid()
    os.mkdir(runtime, 0o700)
    scenario = Scenario(root, "session", prefix)
    scenario.set_automation(True)
    home = scenario.env["HOME"]
    session_env = {
        "HOME": home,
        "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
        "XDG_CONFIG_HOME": scenario.env["XDG_CONFIG_HOME"],
        "XDG_CACHE_HOME": scenario.env["XDG_CACHE_HOME"],
        "XDG_RUNTIME_DIR": runtime,
        "QT_QPA_PLATFORM": "offscreen",
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
    }
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
        if name in os.environ:
            session_env[name] = os.environ[name]
    with open(os.path.join(scenario.root, "bus.log"), "wb") as log:
        daemon = start_session_bus(runtime, session_env, log)
    companion_path = os.path.join(prefix, "bin") + os.pathsep + "/usr/bin:/bin"
    command = ["env", "-i", "HOME=" + home, "PATH=" + companion_path, "frameweaver-mcp"]

    def companion(name):
        return CompanionClient(command, None, os.path.join(scenario.root, name + ".stderr"))
    client = companion("session")
    try:
        started = time.monotonic()
        try:
            info = client.initialize(timeout=60)
            print("cold start through the session bus: %.2f s" % (time.monotonic() - started))
        except ClientError:
            # As above: a slow sanitizer build may take longer than eight seconds to listen.
            if not (client.wait(60) == 1 and scenario.stderr("session") == STARTUP_MESSAGE and
                    application_processes(executable)):
                raise Failure("no cold start through the session bus: " +
                              scenario.stderr("session"))
            client.finish()
            client = companion("session-again")
            info = client.initialize(timeout=60)
        check(info["serverInfo"]["name"] == "Frameweaver", "unexpected server: %s" % info)
        names = [t["name"] for t in client.request("tools/list")["tools"]]
        check(len(names) == 6 and names[0] == "get_capabilities", "unexpected tools: %s" % names)
        running = application_processes(executable)
        check(len(running) == 1, "%d applications run" % len(running))
        pid = running[0]
        check(os.readlink("/proc/%d/cwd" % pid) == "/", "the application does not run in /")
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            arguments = f.read().split(b"\0")
        check(b"--frameweaver-automation-launch" in arguments,
              "started without the automation flag: %r" % arguments)
        # Started by the bus: the session's environment, not the companion's.
        with open("/proc/%d/environ" % pid, "rb") as f:
            check(b"DBUS_STARTER_BUS_TYPE=session" in f.read().split(b"\0"),
                  "the application was not started by the session bus")
        service = os.path.join(home, ".local", "share", "dbus-1", "services",
                               service_name(executable))
        check(os.path.isfile(service), "no service file in the user's services folder")
        client.close_input()
        check(client.wait(60) == 0, "the companion did not end with status 0")
    finally:
        client.finish()
        stop_applications(executable)
        daemon.terminate()
        daemon.wait(60)
    last = "session-again" if os.path.exists(os.path.join(scenario.root, "session-again.stderr")) \
        else "session"
    check(scenario.stderr(last) == "", "the companion wrote: " + scenario.stderr(last))


def cold_start_in_a_session(prefix, work):
    probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"],
                           capture_output=True, timeout=60)
    if probe.returncode != 0:
        print("skipped the session-bus cold start: no mount namespace can be made here")
        return
    result = subprocess.run(["unshare", "--mount", "--propagation", "private", sys.executable,
                             os.path.abspath(__file__), "--in-session", prefix, work],
                            timeout=600)
    check(result.returncode == 0, "the session-bus cold start failed")


def main():
    if sys.argv[1] == "--in-session":
        try:
            in_session(sys.argv[2], sys.argv[3])
            return 0
        except (Failure, ClientError) as error:
            print("FAILED: %s" % error, file=sys.stderr)
            return 1
    cmake, build, tool = sys.argv[1:4]
    work = tempfile.mkdtemp(prefix="fwv-companion-")
    prefix = os.path.join(work, "prefix")
    executable = os.path.join(prefix, BUNDLE, "Contents", "MacOS", "Frameweaver")

    def on_signal(number, frame):
        raise KeyboardInterrupt()
    signal.signal(signal.SIGTERM, on_signal)
    try:
        subprocess.run([cmake, "--install", build, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL, timeout=300)
        executable = os.path.realpath(executable)
        check(os.path.islink(os.path.join(prefix, "bin", "frameweaver-mcp")),
              "the command on PATH is not a link")
        check(os.path.realpath(os.path.join(prefix, "bin", "frameweaver-mcp")) ==
              os.path.realpath(os.path.join(prefix, BUNDLE, "Contents", "MacOS", "frameweaver-mcp")),
              "the command on PATH does not lead into the bundle")
        check(os.path.isfile(os.path.join(prefix, "share", "applications", "Frameweaver.desktop")),
              "no desktop entry")
        service = os.path.join(prefix, "share", "dbus-1", "services", service_name(executable))
        with open(service, encoding="utf-8") as f:
            text = f.read()
        check(text == "[D-BUS Service]\nName=%s\nExec='%s' --frameweaver-automation-launch\n" %
              (service_name(executable)[:-len(".service")], executable),
              "unexpected activation service: %r" % text)
        check(sorted(os.listdir(prefix)) == ["bin", "lib", "share"],
              "the prefix's top holds %r" % sorted(os.listdir(prefix)))

        automation_disabled(Scenario(work, "disabled", prefix))
        stop_applications(executable)
        copied_out(Scenario(work, "copied", prefix), prefix, work)
        cold_start_in_a_session(prefix, work)
        stop_applications(executable)
        drive_the_tools(Scenario(work, "enabled", prefix), tool, work, executable)
        print("passed")
        return 0
    except (Failure, ClientError) as error:
        print("FAILED: %s" % error, file=sys.stderr)
        return 1
    finally:
        stop_applications(executable)
        remove_socket_files(os.path.join(prefix, BUNDLE))
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
