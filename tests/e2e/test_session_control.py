"""Long calls that can be stopped: a cancel, a ping, end of input, a stop signal, the reader
of standard output gone, and the program killed, each in the middle of a render. The renderer
is a fake FFmpeg (a shell script: Linux only) that describes its input with the host's
FFmpeg, and for a render writes a partial output, then waits until the test lets it go."""
import json
import os
import select
import signal
import threading
import time

import pytest

from conftest import TIMEOUT, linux_only_because
from test_media import (HOST_FFMPEG, clips, fake, import_clip, leftovers,  # noqa: F401
                        render_args, save_edit)

pytestmark = [linux_only_because("fake ffmpeg programs are shell scripts"),
              pytest.mark.skipif(HOST_FFMPEG is None, reason="needs the host's ffmpeg")]

META = {"io.modelcontextprotocol/protocolVersion": "2026-07-28",
        "io.modelcontextprotocol/clientCapabilities": {}}
# The bound for the renderer to be gone, and for the program to exit on a signal.
BOUND = 1.0


class Renderer:
    """A fake FFmpeg: a render writes part of its output and a time beyond the clip's end,
    notes its process id, and waits for the test to open its gate; then it sleeps (to be
    ended) or, with finish set, renders for real."""

    def __init__(self, vft, tmp_path, finish=False):
        self.gate = tmp_path / "gate"
        os.mkfifo(self.gate)
        self.pid_file = tmp_path / "renderer.pid"
        after = f'exec {HOST_FFMPEG} "$@"' if finish else "exec sleep 300"
        partial = "" if finish else 'echo partial > "$last"'
        script = fake(tmp_path / "fake", f"""
case "$*" in
  *-filter_complex*)
    for last; do :; done
    {partial}
    echo "frame=119 fps=0.0 q=0.0 size=0kB time=00:00:04.96 bitrate=1kbits/s speed=1x" >&2
    echo $$ > "{self.pid_file}"
    read go < "{self.gate}"
    {after} ;;
esac
exec {HOST_FFMPEG} "$@"
""")
        self.env = dict(vft.env, VEYMORA_FFMPEG=str(script))

    def wait_started(self):
        """Returns the renderer's process id once it waits at its gate, and lets it go on."""
        opened = threading.Event()

        def open_gate():
            with open(self.gate, "w"):  # blocks until the renderer opens its end
                opened.set()

        threading.Thread(target=open_gate, daemon=True).start()
        assert opened.wait(TIMEOUT), "the renderer never started"
        return int(self.pid_file.read_text())


def gone(pid):
    """Not running: no such process, or a zombie for someone else to reap."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(") ")[1][0] == "Z"
    except FileNotFoundError:
        return True


def wait_gone(pid, bound):
    """Waits for the renderer (not our child) to end, through a process descriptor."""
    try:
        fd = os.pidfd_open(pid)
    except ProcessLookupError:
        return
    try:
        ended, _, _ = select.select([fd], [], [], bound)
        assert ended, f"renderer {pid} still running after {bound} s"
    finally:
        os.close(fd)


def project(vft, clips, env):
    imported = import_clip(vft, clips["silent"], env)["project"]
    return save_edit(vft, imported, {"width": 160, "height": 160})


def render_request(vft, saved, destination, id, modern=False, progress=None):
    params = {"name": "render_edit", "arguments": render_args(vft, saved, destination)}
    meta = dict(META) if modern else {}
    if progress is not None:
        meta["progressToken"] = progress
    if meta:
        params["_meta"] = meta
    return {"jsonrpc": "2.0", "id": id, "method": "tools/call", "params": params}


def left_behind(vft, tmp_path):
    return leftovers(tmp_path, "media-export") + leftovers(vft.folder("media"), "render")


def test_cancel_mid_render_in_both_eras(vft, clips, tmp_path):
    renderer = Renderer(vft, tmp_path)
    saved = project(vft, clips, renderer.env)
    store = vft.store_file("media").read_bytes()
    session = vft.session("media", env=renderer.env)
    for era, modern in (("legacy", False), ("current", True)):
        session.send(render_request(vft, saved, tmp_path / f"{era}.mp4", f"r-{era}", modern,
                                    progress=era))
        pid = renderer.wait_started()
        # A ping behind the render is answered at once; progress never passes the total.
        session.send({"jsonrpc": "2.0", "id": f"ping-{era}", "method": "ping"})
        line = session.read_line()
        while "method" in line:
            assert line["params"]["progressToken"] == era
            assert line["params"]["progress"] <= line["params"]["total"] == 2.0
            line = session.read_line()
        assert line == {"id": f"ping-{era}", "jsonrpc": "2.0", "result": {}}
        assert not gone(pid)

        session.send({"jsonrpc": "2.0", "method": "notifications/cancelled",
                      "params": {"requestId": f"r-{era}", "reason": "gave up"}})
        wait_gone(pid, BOUND)
        # Nothing is sent for the cancelled render but the progress already on its way: the
        # next answer is the next request's.
        session.send({"jsonrpc": "2.0", "id": f"after-{era}", "method": "tools/call",
                      "params": {"name": "get_project", "arguments": {"id": saved["projectId"]}}})
        line = session.read_line()
        while line.get("method") == "notifications/progress":
            assert line["params"]["progressToken"] == era
            line = session.read_line()
        assert line["id"] == f"after-{era}"
        assert line["result"]["structuredContent"]["exports"] == []
        assert not (tmp_path / f"{era}.mp4").exists() and left_behind(vft, tmp_path) == []
        assert vft.store_file("media").read_bytes() == store
    # A cancel naming a finished or unknown request changes nothing.
    session.send({"jsonrpc": "2.0", "method": "notifications/cancelled",
                  "params": {"requestId": "r-legacy"}})
    assert session.close() == (b"", b"", 0)


def test_end_of_input_mid_render_still_answers_it(vft, clips, tmp_path):
    renderer = Renderer(vft, tmp_path, finish=True)
    saved = project(vft, clips, renderer.env)
    session = vft.session("media", env=renderer.env)
    session.send(render_request(vft, saved, tmp_path / "done.mp4", 1))
    session.send({"jsonrpc": "2.0", "id": 2, "method": "tools/call",
                  "params": {"name": "get_project", "arguments": {"id": saved["projectId"]}}})
    session.proc.stdin.close()
    renderer.wait_started()
    first, second = session.read_line(), session.read_line()
    assert first["id"] == 1 and first["result"]["isError"] is False
    assert second["id"] == 2 and len(second["result"]["structuredContent"]["exports"]) == 1
    assert session.proc.wait(TIMEOUT) == 0
    assert (tmp_path / "done.mp4").exists() and left_behind(vft, tmp_path) == []


@pytest.mark.parametrize("how", ["SIGTERM", "SIGHUP", "output closed", "one-shot SIGINT",
                                 "one-shot SIGTERM"])
def test_stop_mid_render_leaves_nothing_behind(vft, clips, tmp_path, how):
    renderer = Renderer(vft, tmp_path)
    saved = project(vft, clips, renderer.env)
    store = vft.store_file("media").read_bytes()
    if how.startswith("one-shot"):
        arguments = json.dumps(render_args(vft, saved, tmp_path / "out.mp4"))
        session = vft.session("media", extra=["call", "render_edit", arguments], env=renderer.env)
    else:
        session = vft.session("media", env=renderer.env)
        session.send(render_request(vft, saved, tmp_path / "out.mp4", 1))
        session.send({"jsonrpc": "2.0", "id": 2, "method": "ping"})
    proc = session.proc
    pid = renderer.wait_started()
    started = time.monotonic()
    if how == "output closed":
        proc.stdout.close()
    else:
        proc.send_signal(getattr(signal, how.split()[-1]))
    code = proc.wait(TIMEOUT)
    assert time.monotonic() - started < BOUND
    expected = 0 if how == "output closed" else -getattr(signal, how.split()[-1])
    assert code == expected
    assert gone(pid)
    if how != "output closed":
        assert proc.stdout.read() == b""  # neither the render nor the ping behind it answered
    assert proc.stderr.read() == b""
    assert not (tmp_path / "out.mp4").exists() and left_behind(vft, tmp_path) == []
    assert vft.store_file("media").read_bytes() == store


def test_killed_program_leaves_no_renderer(vft, clips, tmp_path):
    renderer = Renderer(vft, tmp_path)
    saved = project(vft, clips, renderer.env)
    session = vft.session("media", env=renderer.env)
    session.send(render_request(vft, saved, tmp_path / "out.mp4", 1))
    pid = renderer.wait_started()
    session.proc.kill()
    session.proc.wait(TIMEOUT)
    wait_gone(pid, BOUND)
