"""A minimal MCP client over a child process's standard streams, written from the wire format:
one JSON-RPC 2.0 message per line. Used by the companion's end-to-end test and its benchmark."""
import hashlib
import json
import os
import pwd
import select
import subprocess
import time

PROTOCOL_VERSION = "2025-06-18"


class ClientError(Exception):
    pass


class CompanionClient:
    def __init__(self, command, env, stderr_path):
        self._stderr = open(stderr_path, "wb")
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self._stderr, env=env, bufsize=0)
        self._buffer = b""
        self._next_id = 1

    def send(self, message):
        self.process.stdin.write(json.dumps(message).encode() + b"\n")

    def read_line(self, timeout):
        deadline = time.monotonic() + timeout
        fd = self.process.stdout.fileno()
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise ClientError("no line from the companion within %.0f s" % timeout)
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    raise ClientError("the companion closed its standard output")
                self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line

    def request(self, method, params=None, timeout=120):
        identifier = self._next_id
        self._next_id += 1
        message = {"jsonrpc": "2.0", "id": identifier, "method": method}
        if params is not None:
            message["params"] = params
        self.send(message)
        while True:
            answer = json.loads(self.read_line(timeout))
            if answer.get("id") == identifier:
                if "error" in answer:
                    raise ClientError("%s failed: %s" % (method, answer["error"]))
                return answer["result"]

    def initialize(self, timeout=120):
        result = self.request("initialize", {"protocolVersion": PROTOCOL_VERSION,
                                             "capabilities": {},
                                             "clientInfo": {"name": "frameweaver-e2e",
                                                            "version": "1.0"}}, timeout)
        self.send({"jsonrpc": "2.0", "method": "notifications/initialized"})
        return result

    def call(self, tool, arguments=None, timeout=120):
        result = self.request("tools/call", {"name": tool, "arguments": arguments or {}},
                              timeout)
        if result.get("isError"):
            raise ClientError("%s failed: %s" % (tool, result.get("structuredContent")))
        return result["structuredContent"]

    def close_input(self):
        self.process.stdin.close()

    def wait(self, timeout):
        return self.process.wait(timeout)

    def finish(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for stream in (self.process.stdin, self.process.stdout):
            if stream and not stream.closed:
                stream.close()
        self._stderr.close()


def application_processes(executable):
    """Process ids running `executable` (a canonical path)."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            if os.readlink("/proc/%s/exe" % name) == executable:
                found.append(int(name))
        except OSError:
            pass
    return found


def stop_applications(executable, timeout=60):
    """Ends every process running `executable`: SIGTERM, then SIGKILL after `timeout`."""
    import signal
    deadline = time.monotonic() + timeout
    for pid in application_processes(executable):
        try:
            os.kill(pid, signal.SIGTERM)
        except OSError:
            pass
    while application_processes(executable) and time.monotonic() < deadline:
        time.sleep(0.05)
    for pid in application_processes(executable):
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    while application_processes(executable):
        time.sleep(0.05)


def socket_path(bundle):
    """Where the application of `bundle` listens: its App Group container (the runtime folder of
    the effective user when there is one, else the home folder's state folder) and a name made
    from the bundle's canonical path."""
    runtime = "/run/user/%d" % os.geteuid()
    if os.path.isdir(runtime):
        container = os.path.join(runtime, "QX7K2M4R9T.fwv")
    else:
        container = os.path.join(pwd.getpwuid(os.geteuid()).pw_dir, ".local", "state",
                                 "QX7K2M4R9T.fwv")
    name = "fwv-" + hashlib.sha256(os.path.realpath(bundle).encode()).hexdigest()[:20] + ".sock"
    return os.path.join(container, name)


def remove_socket_files(bundle):
    """Removes the socket and lock file an ended application of `bundle` leaves behind."""
    path = socket_path(bundle)
    for name in (path, path + ".lock"):
        try:
            os.unlink(name)
        except OSError:
            pass
