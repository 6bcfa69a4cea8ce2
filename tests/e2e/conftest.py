"""Fixtures for the black-box tests: they run the real program, one-shot or as a session.

Environment:
  VFT_EXE        the program to test (the Linux binary, or the Windows .exe)
  VFT_WINE       set to 1 when VFT_EXE is a Windows .exe to run under wine64
  VFT_TOOLS_DIR  folder with helper programs built from tests/tools (under Wine, their
                 Windows builds: see Program.tool_command)
Every test gets its own data home and its own user key folder in a temporary directory.
"""
import json
import os
import subprocess
import sys

import pytest

EXE = os.environ.get("VFT_EXE", "")
WINE = os.environ.get("VFT_WINE") == "1"
TOOLS_DIR = os.environ.get("VFT_TOOLS_DIR", "")
TIMEOUT = 120 if WINE else 30


def to_program_path(host_path):
    """A host path as the program sees it: unchanged on Linux; under Wine the Z: drive maps
    the host's root (the mapping winepath -w gives for paths outside the prefix)."""
    if not WINE:
        return str(host_path)
    return "Z:" + str(host_path).replace("/", "\\")


# Windows refuses command lines longer than 32,767 UTF-16 units (the program's own path
# included); one-shot calls with larger arguments go through a session under Wine.
WINDOWS_LINE_LIMIT = 32000


def command_line_units(argv):
    return sum(len(arg.encode("utf-16-le")) // 2 + 3 for arg in [EXE] + list(argv))


linux_only = pytest.mark.skipif(WINE, reason="Linux-only behaviour")
windows_only = pytest.mark.skipif(not WINE, reason="Windows-only behaviour")


def linux_only_because(reason):
    """linux_only, with the reason the test cannot apply to the Windows build named in the
    skip report."""
    return pytest.mark.skipif(WINE, reason=f"Linux only: {reason}")


class Completed:
    def __init__(self, proc):
        self.returncode = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr

    @classmethod
    def of(cls, returncode, stdout, stderr):
        return cls(subprocess.CompletedProcess([], returncode, stdout, stderr))

    @property
    def out(self):
        return self.stdout.decode("utf-8")

    @property
    def err(self):
        return self.stderr.decode("utf-8")

    def json(self):
        return json.loads(self.stdout)


class Session:
    """A running session: send lines, read response lines."""

    def __init__(self, popen):
        self.proc = popen

    def send_raw(self, data: bytes):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def send(self, message):
        self.send_raw(json.dumps(message, ensure_ascii=False).encode("utf-8") + b"\n")

    def read_line(self):
        line = self.proc.stdout.readline()
        assert line.endswith(b"\n"), f"no response line (got {line!r})"
        assert not line.endswith(b"\r\n")
        return json.loads(line)

    def request(self, method, params=None, id=1):
        message = {"jsonrpc": "2.0", "id": id, "method": method}
        if params is not None:
            message["params"] = params
        self.send(message)
        response = self.read_line()
        assert response["id"] == id
        return response

    def call(self, tool, arguments=None, id=1):
        """tools/call; returns the result object (envelope)."""
        params = {"name": tool}
        if arguments is not None:
            params["arguments"] = arguments
        return self.request("tools/call", params, id)["result"]

    def close(self):
        """Ends input and returns (rest of stdout, stderr, exit status)."""
        out, err = self.proc.communicate(timeout=TIMEOUT)
        return out, err, self.proc.returncode


class Program:
    def __init__(self, tmp_path):
        self.tmp = tmp_path
        self.home = tmp_path / "data"
        self.home.mkdir()
        self.user_home = tmp_path / "user"
        self.user_home.mkdir()
        self.env = dict(os.environ)
        for name in ("VEYMORA_DATA_HOME", "LOCALAPPDATA", "XDG_DATA_HOME", "XDG_CONFIG_HOME",
                     "VEYMORA_FFMPEG"):
            self.env.pop(name, None)
        self.env["VEYMORA_DATA_HOME"] = to_program_path(self.home)
        self.env["HOME"] = str(self.user_home)
        if WINE:
            self.env.setdefault("WINEDEBUG", "-all")
            # Wine turns the command line into UTF-16 with the locale's character set.
            self.env["LC_ALL"] = "C.UTF-8"

    # -- paths ----------------------------------------------------------------------------
    def path(self, host_path):
        return to_program_path(host_path)

    def folder(self, app):
        return self.home / app

    def store_file(self, app):
        name = "records.dpapi" if app in ("wallet", "clipboard", "bills") else "records.json"
        return self.home / app / name

    def read_store(self, app):
        """The plain store document of an unprotected app."""
        return json.loads(self.store_file(app).read_text(encoding="utf-8"))

    # -- running --------------------------------------------------------------------------
    def command(self, args):
        return (["wine64", EXE] if WINE else [EXE]) + list(args)

    def run(self, args, input=b"", env=None, cwd=None):
        proc = subprocess.run(self.command(args), input=input, capture_output=True,
                              env=env or self.env, timeout=TIMEOUT, cwd=cwd or self.tmp)
        return Completed(proc)

    def call(self, app, tool, args=None, raw=None, env=None):
        argv = [app, "call", tool]
        if raw is not None:
            argv.append(raw)
        elif args is not None:
            argv.append(json.dumps(args, ensure_ascii=False))
        if WINE and raw is None and args is not None and command_line_units(argv) > WINDOWS_LINE_LIMIT:
            return self._call_in_session(app, tool, args, env)
        return self.run(argv, env=env)

    def _call_in_session(self, app, tool, args, env):
        """A one-shot call whose arguments do not fit a Windows command line, made through a
        session instead: the same pipeline, with the outcome shaped like a one-shot run."""
        request = {"jsonrpc": "2.0", "id": 1, "method": "tools/call",
                   "params": {"name": tool, "arguments": args}}
        done = self.run([app], input=json.dumps(request, ensure_ascii=False).encode() + b"\n",
                        env=env)
        assert done.returncode == 0 and done.stderr == b"", done.err
        result = json.loads(done.stdout)["result"]
        if result["isError"]:
            return Completed.of(1, b"", result["content"][0]["text"].encode() + b"\n")
        pretty = json.dumps(result["structuredContent"], indent=2, sort_keys=True,
                            ensure_ascii=False)
        return Completed.of(0, pretty.encode() + b"\n", b"")

    def ok(self, app, tool, args=None, **kw):
        done = self.call(app, tool, args, **kw)
        assert done.returncode == 0, f"{tool} failed: {done.err}"
        assert done.stderr == b""
        return done.json()

    def err(self, app, tool, args=None, **kw):
        done = self.call(app, tool, args, **kw)
        assert done.returncode == 1, f"{tool} did not fail: {done.out}"
        assert done.stdout == b""
        assert done.err.endswith("\n")
        return done.err[:-1]

    def session(self, app=None, extra=(), env=None):
        args = ([app] if app else []) + list(extra)
        popen = subprocess.Popen(self.command(args), stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 env=env or self.env, cwd=self.tmp)
        return Session(popen)

    def tool(self, name):
        """A helper program from tests/tools (Linux only)."""
        return os.path.join(TOOLS_DIR, name)

    def tool_command(self, name):
        """The command that starts a helper from tests/tools: the Linux program, or under Wine
        its Windows build (hold_lock, sealed_store, store_churn). Pass it paths through
        self.path()."""
        if WINE:
            return ["wine64", os.path.join(TOOLS_DIR, name + ".exe")]
        return [os.path.join(TOOLS_DIR, name)]


@pytest.fixture
def vft(tmp_path):
    if not EXE:
        pytest.fail("VFT_EXE is not set")
    return Program(tmp_path)


def snapshot(path):
    """Bytes and modification time of a file, to show that it was left alone."""
    st = os.stat(path)
    with open(path, "rb") as f:
        return f.read(), st.st_mtime_ns
