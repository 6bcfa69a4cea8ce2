"""A session under pressure from a hostile host: output nobody reads, a flood of large
requests, a flood of cancels, and a cancel that reaches a call waiting for the store lock.
The long call is a render whose fake FFmpeg waits until the test lets it go."""
import fcntl
import json
import os
import select
import signal
import subprocess
import termios
import threading
import time

import pytest

from conftest import TIMEOUT, linux_only_because
from test_media import HOST_FFMPEG, clips, fake, import_clip, render_args, save_edit  # noqa: F401

pytestmark = linux_only_because("fake ffmpeg programs are shell scripts; /proc")

needs_ffmpeg = pytest.mark.skipif(HOST_FFMPEG is None, reason="needs the host's ffmpeg")
# How long a stopped session waits for its call; the process must be gone by then.
STOP_PATIENCE = 5.0


def request(id, method, params=None):
    message = {"jsonrpc": "2.0", "id": id, "method": method}
    if params is not None:
        message["params"] = params
    return message


def line_of(message):
    return json.dumps(message).encode() + b"\n"


def wait_for(condition, what):
    deadline = time.monotonic() + TIMEOUT
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.01)


def unread(stream):
    """The bytes waiting in a pipe's buffer."""
    buffered = bytearray(4)
    fcntl.ioctl(stream.fileno(), termios.FIONREAD, buffered)
    return int.from_bytes(buffered, "little")


def peak_memory_mib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    raise AssertionError("no VmHWM")


class HeldRender:
    """A render whose fake FFmpeg writes its partial output and waits until release()."""

    def __init__(self, vft, clips, tmp_path):  # noqa: F811
        self.hold = tmp_path / "hold"
        os.mkfifo(self.hold)
        self.started = tmp_path / "started"
        script = fake(tmp_path / "fake", f"""
case "$*" in
  *-filter_complex*)
    touch "{self.started}"
    read go < "{self.hold}"
    exec {HOST_FFMPEG} "$@" ;;
esac
exec {HOST_FFMPEG} "$@"
""")
        self.env = dict(vft.env, VEYMORA_FFMPEG=str(script))
        imported = import_clip(vft, clips["silent"], self.env)["project"]
        self.saved = save_edit(vft, imported, {"width": 160, "height": 160})
        self.arguments = render_args(vft, self.saved, tmp_path / "out.mp4")

    def wait_started(self):
        wait_for(self.started.exists, "the renderer never started")

    def release(self):
        with open(self.hold, "w") as gate:
            gate.write("go\n")


@needs_ffmpeg
def test_a_flood_of_large_requests_behind_a_render_is_held_back(vft, clips, tmp_path):
    render = HeldRender(vft, clips, tmp_path)
    proc = vft.session("media", env=render.env).proc
    proc.stdin.write(line_of(request("render", "tools/call",
                                     {"name": "render_edit", "arguments": render.arguments})))
    proc.stdin.flush()
    render.wait_started()
    big = line_of(request(0, "tools/call", {"name": "get_storage_info",
                                            "arguments": {"x": "a" * (4 << 20)}}))
    count = 100
    fd = proc.stdin.fileno()
    os.set_blocking(fd, False)
    offered, taken = count * len(big), 0
    # The program reads until its queue is full, then the pipe fills and writes block.
    while taken < offered:
        _, writable, _ = select.select([], [fd], [], 2.0)
        if not writable:
            break
        try:
            taken += os.write(fd, big[taken % len(big):])
        except BlockingIOError:
            continue
    assert taken < offered / 2, f"took {taken >> 20} MiB of {offered >> 20} MiB"
    # About 90 MiB in a plain build; a sanitizer's allocator keeps freed memory aside for a
    # while. Taking it all in would hold well over 800 MiB.
    assert peak_memory_mib(proc.pid) < 512
    os.set_blocking(fd, True)
    render.release()
    rest = big[taken % len(big):] + big * (count - 1 - taken // len(big))
    answers = []

    def read_all():
        for _ in range(count + 1):
            answers.append(json.loads(proc.stdout.readline()))

    reader = threading.Thread(target=read_all)
    reader.start()
    proc.stdin.write(rest)
    proc.stdin.close()
    reader.join(TIMEOUT)
    assert proc.wait(TIMEOUT) == 0
    assert answers[0]["id"] == "render" and answers[0]["result"]["isError"] is False
    assert [a["result"]["content"][0]["text"] for a in answers[1:]] == \
        ["Unknown argument: x"] * count


@needs_ffmpeg
def test_cancels_are_found_by_id_and_a_stop_ends_a_session_nobody_reads(vft, clips, tmp_path):
    render = HeldRender(vft, clips, tmp_path)
    session = vft.session("media", env=render.env)
    session.send(request("render", "tools/call",
                         {"name": "render_edit", "arguments": render.arguments}))
    render.wait_started()
    for i in range(500):
        session.send(request(i, "tools/list"))
    # A ping behind the render is answered early: the render has run its patience.
    session.send(request("p1", "ping"))
    assert session.read_line() == {"id": "p1", "jsonrpc": "2.0", "result": {}}
    cancels = b"".join(line_of({"jsonrpc": "2.0", "method": "notifications/cancelled",
                                "params": {"requestId": f"unknown-{i}"}}) for i in range(20000))
    started = time.monotonic()
    session.send_raw(cancels + line_of(request("p2", "ping")))
    assert session.read_line() == {"id": "p2", "jsonrpc": "2.0", "result": {}}
    assert time.monotonic() - started < 2.0
    # Nobody reads the 500 listings once the render is done: the pipe fills, a ping waits
    # behind them, and a stop still ends the process within its patience.
    session.send(request("p3", "ping"))
    render.release()
    wait_for(lambda: unread(session.proc.stdout) >= 40000, "the output never filled")
    stopped = time.monotonic()
    session.proc.send_signal(signal.SIGTERM)
    session.proc.send_signal(signal.SIGTERM)
    assert session.proc.wait(TIMEOUT) == -signal.SIGTERM
    assert time.monotonic() - stopped < STOP_PATIENCE


def test_a_cancel_reaches_a_call_waiting_for_the_store_lock(vft):
    folder = vft.folder("bookmarks")
    folder.mkdir(exist_ok=True)
    holder = subprocess.Popen(vft.tool_command("hold_lock") + [vft.path(folder / "records.lock")],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=vft.env)
    try:
        assert holder.stdout.readline() == b"held\n"
        session = vft.session("bookmarks")
        session.send(request("waits", "tools/call",
                             {"name": "search_bookmarks", "arguments": {"query": "x"}}))
        # The early ping shows the call has been waiting for the lock a while.
        session.send(request("p", "ping"))
        assert session.read_line() == {"id": "p", "jsonrpc": "2.0", "result": {}}
        started = time.monotonic()
        session.send({"jsonrpc": "2.0", "method": "notifications/cancelled",
                      "params": {"requestId": "waits"}})
        session.send(request("next", "tools/list"))
        answer = session.read_line()
        assert answer["id"] == "next"  # nothing for the cancelled call
        assert time.monotonic() - started < 1.0
        assert session.close() == (b"", b"", 0)
    finally:
        holder.communicate(timeout=TIMEOUT)
