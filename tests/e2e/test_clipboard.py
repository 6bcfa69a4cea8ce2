"""The clipboard app on a real desktop clipboard: Xvfb with xclip as the other program on
Linux, and under Wine the Windows clipboard with tests/tools/clip_tool.exe."""
import base64
import json
import os
import select
import signal
import socket
import struct
import subprocess
import time
import zlib
from contextlib import ExitStack, contextmanager

import pytest

from conftest import TIMEOUT, WINE, linux_only_because, snapshot

GUARD = "Clipboard changed after this tool wrote it; undo refused to protect the newer copy"
NO_UNDO = "No supported previous clipboard content is saved"
UNAVAILABLE = "Requested clipboard format is unavailable"

# An 8x8 JPEG of one colour (200, 40, 40), made once with libjpeg at quality 95.
JPEG = bytes.fromhex(
    "ffd8ffe000104a46494600010100000100010000ffdb00430002010101010102010101020202020204030202"
    "02020504040304060506060605060606070908060709070606080b08090a0a0a0a0a06080b0c0b0a0c090a0a"
    "0affdb004301020202020202050303050a0706070a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a"
    "0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0affc000110800080008030122000211010311"
    "01ffc4001f0000010501010101010100000000000000000102030405060708090a0bffc400b5100002010303"
    "020403050504040000017d01020300041105122131410613516107227114328191a1082342b1c11552d1f024"
    "33627282090a161718191a25262728292a3435363738393a434445464748494a535455565758595a63646566"
    "6768696a737475767778797a838485868788898a92939495969798999aa2a3a4a5a6a7a8a9aab2b3b4b5b6b7"
    "b8b9bac2c3c4c5c6c7c8c9cad2d3d4d5d6d7d8d9dae1e2e3e4e5e6e7e8e9eaf1f2f3f4f5f6f7f8f9faffc400"
    "1f0100030101010101010101010000000000000102030405060708090a0bffc400b511000201020404030407"
    "05040400010277000102031104052131061241510761711322328108144291a1b1c109233352f0156272d10a"
    "162434e125f11718191a262728292a35363738393a434445464748494a535455565758595a63646566676869"
    "6a737475767778797a82838485868788898a92939495969798999aa2a3a4a5a6a7a8a9aab2b3b4b5b6b7b8b9"
    "bac2c3c4c5c6c7c8c9cad2d3d4d5d6d7d8d9dae2e3e4e5e6e7e8e9eaf2f3f4f5f6f7f8f9faffda000c030100"
    "02110311003f00f97e8a28afc4cff500ffd9")


# -- images made and read with zlib and struct ----------------------------------------------------
def png(width, height, pixels, alpha=True):
    """A PNG of RGBA (or RGB) pixels, rows top first."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    size = 4 if alpha else 3
    rows = b"".join(b"\0" + b"".join(bytes(p[:size]) for p in pixels[y * width:(y + 1) * width])
                    for y in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 6 if alpha else 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows))
            + chunk(b"IEND", b""))


def bmp24(width, height, pixels):
    """A 24-bit BMP file of RGB pixels given top row first (stored bottom row first)."""
    stride = (width * 3 + 3) & ~3
    rows = b""
    for y in reversed(range(height)):
        row = b"".join(bytes((b, g, r)) for r, g, b, *_ in pixels[y * width:(y + 1) * width])
        rows += row + b"\0" * (stride - len(row))
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(rows), 0, 0, 0, 0)
    return b"BM" + struct.pack("<IHHI", 14 + 40 + len(rows), 0, 0, 54) + info + rows


def decode_png(data):
    """(width, height, RGBA pixels) of an 8-bit, non-interlaced RGB or RGBA PNG."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, idat = 8, b""
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and colour in (2, 6) and interlace == 0
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    size = 4 if colour == 6 else 3
    raw, stride, rows = zlib.decompress(idat), width * size, []
    previous = bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - size] if i >= size else 0
            b, c = previous[i], previous[i - size] if i >= size else 0
            if kind == 1: line[i] = (line[i] + a) & 255
            elif kind == 2: line[i] = (line[i] + b) & 255
            elif kind == 3: line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(line)
        previous = line
    pixels = [tuple(row[x * size:x * size + size]) + ((255,) if size == 3 else ())
              for row in rows for x in range(width)]
    return width, height, pixels


PIXELS = [(255, 0, 0, 255), (0, 255, 0, 128), (0, 0, 255, 0), (10, 20, 30, 255),
          (200, 100, 50, 255), (1, 2, 3, 64)]  # 3 x 2, alpha of every kind
OPAQUE = [p[:3] + (255,) for p in PIXELS]


# -- the desktop and the other program on it -----------------------------------------------------
class XDesktop:
    """Xvfb on a free display, xclip as the other program."""
    TARGETS = {"text": "UTF8_STRING", "png": "image/png", "bmp": "image/bmp"}

    def __init__(self, vft):
        read, write = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-noreset", "-nolisten", "tcp",
             "-screen", "0", "64x64x24"],
            pass_fds=(write,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read, "rb") as announced:
            number = announced.readline().strip().decode()  # written once the server is ready
        assert number, "Xvfb did not start"
        self.env = dict(vft.env, DISPLAY=":" + number)
        vft.env["DISPLAY"] = self.env["DISPLAY"]

    def copy(self, data, kind="text"):
        # xclip stays behind as the owner until another program takes the selection; it
        # takes it after its first process has returned, so wait (bounded) until it serves.
        subprocess.run(["xclip", "-selection", "clipboard", "-i", "-t", self.TARGETS[kind]],
                       input=data, env=self.env, check=True, timeout=TIMEOUT,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        listed = ["TARGETS", self.TARGETS[kind]]  # xclip's own list, unlike any other owner's
        assert any(self.targets() == listed and self.paste(kind) == data for _ in range(2000))

    def targets(self):
        done = subprocess.run(["xclip", "-selection", "clipboard", "-o", "-t", "TARGETS"],
                              env=self.env, capture_output=True, timeout=TIMEOUT)
        return done.stdout.decode().split()

    def paste(self, kind="text"):
        done = subprocess.run(["xclip", "-selection", "clipboard", "-o", "-t", self.TARGETS[kind]],
                              env=self.env, capture_output=True, timeout=TIMEOUT)
        return done.stdout if done.returncode == 0 else None

    @contextmanager
    def busy(self):
        """An owner that stops answering: xclip in the foreground, stopped."""
        owner = subprocess.Popen(["xclip", "-selection", "clipboard", "-i", "-quiet"],
                                 stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL, env=self.env)
        try:
            owner.stdin.write(b"frozen")
            owner.stdin.close()
            # It owns the selection once it answers; bounded, it waits for that to happen.
            assert any(self.paste() == b"frozen" for _ in range(2000))
            owner.send_signal(signal.SIGSTOP)
            yield
        finally:
            owner.kill()
            owner.wait(timeout=TIMEOUT)

    def stop(self):
        self.server.terminate()
        self.server.wait(timeout=TIMEOUT)


class WineDesktop:
    """Wine's own clipboard, with tests/tools/clip_tool.exe as the other program."""

    def __init__(self, vft):
        self.vft = vft
        self.env = dict(vft.env)
        self.env.pop("DISPLAY", None)
        vft.env.pop("DISPLAY", None)
        self.run("empty")

    def run(self, *args, data=b""):
        return subprocess.run(self.vft.tool_command("clip_tool") + list(args), input=data,
                              env=self.env, capture_output=True, timeout=TIMEOUT)

    def copy(self, data, kind="text"):
        assert self.run("copy", kind, data=data).returncode == 0

    def paste(self, kind="text"):
        done = self.run("paste", kind)
        return done.stdout if done.returncode == 0 else None

    @contextmanager
    def busy(self):
        """Another program that keeps the clipboard open."""
        holder = subprocess.Popen(self.vft.tool_command("clip_tool") + ["hold"], env=self.env,
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            assert holder.stdout.readline() == b"held\n"
            yield
        finally:
            holder.stdin.close()
            holder.wait(timeout=TIMEOUT)

    def stop(self):
        pass


@pytest.fixture
def desktop(vft):
    board = WineDesktop(vft) if WINE else XDesktop(vft)
    yield board
    board.stop()


def put(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    return path


def call(vft, tool, args):
    """A call through a session: its arguments may exceed what a command line takes."""
    return vft._call_in_session("clipboard", tool, args, None)


def write_text(vft, text):
    done = call(vft, "write_clipboard", {"text": text})
    assert done.returncode == 0, done.err
    return done.json()


# -- text ---------------------------------------------------------------------------------------
def test_text_travels_both_ways_unchanged(vft, desktop):
    for text in ["plain", "Grüße, 東京 🎉", "two\nlines\n", "windows\r\nlines\r\n", ""]:
        result = write_text(vft, text)
        assert result["written"] is True and result["kind"] == "text"
        assert desktop.paste() == text.encode()
        assert vft.ok("clipboard", "read_clipboard", {"kind": "text"})["text"] == text
        desktop.copy(("copied " + text).encode())
        read = vft.ok("clipboard", "read_clipboard", {"kind": "text"})
        assert read["text"] == "copied " + text and read["kind"] == "text"
        assert isinstance(read["sequence"], int)


def test_one_mebibyte_of_text_and_the_argument_rules(vft, desktop):
    big = "0123456789abcdé\n" * 61680 + "x" * 16
    assert len(big.encode()) == 1048576
    write_text(vft, big)
    assert desktop.paste() == big.encode()
    assert vft.ok("clipboard", "read_clipboard", {"kind": "text"})["text"] == big
    # Larger pieces come from the other program too (in INCR pieces on X11).
    huge = "é" * 2_500_000
    desktop.copy(huge.encode())
    assert vft.ok("clipboard", "read_clipboard", {"kind": "text"})["text"] == huge

    too_long = "Text exceeds 1 MiB or contains NUL"
    assert call(vft, "write_clipboard", {"text": big + "y"}).err == too_long + "\n"
    assert vft.err("clipboard", "write_clipboard", {"text": "a\u0000b"}) == too_long
    assert vft.err("clipboard", "write_clipboard", {"text": "a", "imagePath": "/x.png"}) == \
        "Choose text or imagePath, not both"
    assert vft.err("clipboard", "write_clipboard", {}) == "imagePath must be text"
    assert desktop.paste() == huge.encode()  # refused writes changed nothing

    # A previous text beyond the read limit cannot be kept for the undo: nothing is written.
    beyond = b"z" * (24 * 1048576 + 1)
    desktop.copy(beyond)
    assert vft.err("clipboard", "write_clipboard", {"text": "x"}) == \
        "Clipboard payload is empty or exceeds 24 MiB"
    assert vft.err("clipboard", "read_clipboard", {"kind": "text"}) == \
        "Clipboard payload is empty or exceeds 24 MiB"
    assert desktop.paste() == beyond


def test_inspect_and_read_name_what_is_there(vft, desktop):
    scope = "Unicode text or PNG/bitmap content; other application-specific formats are not restored"
    assert vft.ok("clipboard", "inspect_clipboard") == {
        "empty": True, "textAvailable": False, "imageAvailable": False, "undoScope": scope}
    assert vft.err("clipboard", "read_clipboard", {"kind": "text"}) == UNAVAILABLE
    desktop.copy(b"words")
    found = vft.ok("clipboard", "inspect_clipboard")
    assert (found["empty"], found["textAvailable"], found["imageAvailable"]) == (False, True, False)
    assert vft.err("clipboard", "read_clipboard", {"kind": "image"}) == UNAVAILABLE
    desktop.copy(png(3, 2, PIXELS), "png")
    found = vft.ok("clipboard", "inspect_clipboard")
    assert (found["empty"], found["textAvailable"], found["imageAvailable"]) == (False, False, True)
    assert vft.err("clipboard", "read_clipboard", {"kind": "text"}) == UNAVAILABLE
    # No store is made by looking.
    assert not vft.store_file("clipboard").exists()


def test_a_clipboard_that_does_not_answer_is_busy(vft, desktop):
    busy = "Clipboard is busy; try again"
    with desktop.busy():
        assert vft.err("clipboard", "inspect_clipboard") == busy
        assert vft.err("clipboard", "read_clipboard", {"kind": "text"}) == busy
        assert vft.err("clipboard", "write_clipboard", {"text": "x"}) == busy
        assert vft.err("clipboard", "save_clip", {"title": "t"}) == busy
    assert not vft.store_file("clipboard").exists()


# -- images -------------------------------------------------------------------------------------
def image_on_clipboard(vft, desktop):
    """The PNG the tool reads, checked against the PNG the other program reads."""
    read = vft.ok("clipboard", "read_clipboard", {"kind": "image"})
    assert read["kind"] == "image" and read["mimeType"] == "image/png"
    data = base64.b64decode(read["_imageData"], validate=True)
    assert read["bytes"] == len(data)
    return data


def test_images_go_out_as_png(vft, desktop, tmp_path):
    cases = [("a.png", png(3, 2, PIXELS), PIXELS),
             ("b.bmp", bmp24(3, 2, PIXELS), OPAQUE),
             ("c.jpg", JPEG, None)]
    for name, data, pixels in cases:
        result = vft.ok("clipboard", "write_clipboard", {"imagePath": vft.path(put(tmp_path, name, data))})
        assert result["kind"] == "image"
        pasted = desktop.paste("png")
        width, height, seen = decode_png(pasted)
        if pixels is None:  # lossy: close to the one colour
            assert (width, height) == (8, 8)
            assert all(abs(a - b) <= 8 for p in seen for a, b in zip(p, (200, 40, 40, 255)))
        else:
            assert (width, height, seen) == (3, 2, pixels)
        assert image_on_clipboard(vft, desktop) == pasted
        # The bitmap beside it carries the same picture without alpha.
        bitmap = desktop.paste("bmp")
        assert bitmap is not None and bitmap[:2] == b"BM" and struct.unpack("<H", bitmap[28:30])[0] == 24


def test_images_come_in_as_png(vft, desktop):
    desktop.copy(png(3, 2, PIXELS), "png")
    assert decode_png(image_on_clipboard(vft, desktop)) == (3, 2, PIXELS)
    desktop.copy(bmp24(3, 2, PIXELS), "bmp")
    assert decode_png(image_on_clipboard(vft, desktop)) == (3, 2, OPAQUE)
    desktop.copy(b"\x89PNG\r\n\x1a\nbroken", "png")
    assert vft.call("clipboard", "read_clipboard", {"kind": "image"}).returncode == 1


# -- the write outlives the tool, and undo ---------------------------------------------------------
def test_a_write_outlives_the_session_that_made_it(vft, desktop):
    session = vft.session("clipboard")
    session.request("initialize", {"protocolVersion": "2025-06-18", "capabilities": {},
                                   "clientInfo": {"name": "t", "version": "1"}})
    result = session.call("write_clipboard", {"text": "kept after the end"}, id=2)
    assert result["isError"] is False
    _, _, status = session.close()
    assert status == 0
    assert desktop.paste() == b"kept after the end"
    assert vft.ok("clipboard", "read_clipboard", {"kind": "text"})["text"] == "kept after the end"


def test_undo_restores_text_images_and_emptiness(vft, desktop):
    # Over an empty clipboard, then back to empty.
    assert write_text(vft, "first")["undoAvailable"] is True
    assert vft.ok("clipboard", "undo_clipboard") == {"restored": True}
    assert vft.ok("clipboard", "inspect_clipboard")["empty"] is True
    assert vft.err("clipboard", "undo_clipboard") == NO_UNDO

    desktop.copy("the user's ü text\r\n".encode())
    written = write_text(vft, "tool text")
    assert written["undoAvailable"] is True
    assert written["undoScope"] == \
        "Previous text or image content; application-specific extra formats are not restored"
    assert vft.ok("clipboard", "undo_clipboard") == {"restored": True}
    assert desktop.paste() == "the user's ü text\r\n".encode()
    assert vft.err("clipboard", "undo_clipboard") == NO_UNDO

    desktop.copy(png(3, 2, PIXELS), "png")
    write_text(vft, "over an image")
    vft.ok("clipboard", "undo_clipboard")
    assert decode_png(desktop.paste("png")) == (3, 2, PIXELS)


def test_the_undo_guard_protects_a_newer_copy(vft, desktop):
    desktop.copy(b"old")
    write_text(vft, "tool")
    desktop.copy(b"the user's newer copy")
    assert vft.err("clipboard", "undo_clipboard") == GUARD
    assert vft.err("clipboard", "undo_clipboard") == GUARD  # the record stays, so does the refusal
    assert desktop.paste() == b"the user's newer copy"
    # Even the same text copied again is a newer copy.
    write_text(vft, "tool again")
    desktop.copy(b"tool again")
    assert vft.err("clipboard", "undo_clipboard") == GUARD


@linux_only_because("a file size limit (RLIMIT_FSIZE) makes the save fail")
def test_a_failed_save_puts_the_previous_content_back(vft, desktop):
    import resource
    import signal
    previous = ("previous ü " * 20000).encode()  # its snapshot makes the store too large
    desktop.copy(previous)

    def limited():
        resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

    done = subprocess.run(vft.command(["clipboard", "call", "write_clipboard", '{"text": "new"}']),
                          capture_output=True, env=vft.env, timeout=TIMEOUT, preexec_fn=limited)
    assert (done.returncode, done.stderr) == (1, b"File too large\n")
    assert desktop.paste() == previous
    assert not vft.store_file("clipboard").exists()
    assert vft.err("clipboard", "undo_clipboard") == NO_UNDO


# -- saved clips --------------------------------------------------------------------------------
def test_saved_clips(vft, desktop, tmp_path):
    made = vft.ok("clipboard", "save_clip", {"title": "  Greeting ", "text": "hello secret words"})
    assert made["title"] == "Greeting" and made["kind"] == "text" and "content" not in made
    assert made["id"].startswith("clip-") and made["version"] == 1
    image = vft.ok("clipboard", "save_clip",
                   {"title": "Picture", "imagePath": vft.path(put(tmp_path, "p.png", png(3, 2, PIXELS)))})
    got = vft.ok("clipboard", "get_clip", {"id": image["id"]})
    assert set(got) == {"id", "title", "version", "kind", "_imageData", "mimeType"}
    assert decode_png(base64.b64decode(got["_imageData"])) == (3, 2, PIXELS)

    # From the clipboard: the reader's result, sequence included.
    desktop.copy(b"from the desktop")
    copied = vft.ok("clipboard", "save_clip", {"title": "Desk"})
    assert vft.ok("clipboard", "get_clip", {"id": copied["id"]})["text"] == "from the desktop"
    assert vft.err("clipboard", "save_clip", {"title": "x", "kind": "image"}) == UNAVAILABLE
    # A correction with a title only takes the clipboard text as the new content.
    desktop.copy(b"newer desktop text")
    fixed = vft.ok("clipboard", "save_clip", {"id": copied["id"], "expectedVersion": 1, "title": "Desk 2"})
    assert fixed["version"] == 2
    assert vft.ok("clipboard", "get_clip", {"id": copied["id"]})["text"] == "newer desktop text"

    # Search sees titles, never clip text.
    assert vft.ok("clipboard", "search_clips", {"query": "secret"})["total"] == 0
    found = vft.ok("clipboard", "search_clips", {"query": "Greeting"})
    assert [r["id"] for r in found["records"]] == [made["id"]] and "content" not in found["records"][0]

    copied_out = vft.ok("clipboard", "copy_saved_clip", {"id": made["id"]})
    assert copied_out["written"] is True and copied_out["undoAvailable"] is True
    assert desktop.paste() == b"hello secret words"
    vft.ok("clipboard", "copy_saved_clip", {"id": image["id"]})
    assert decode_png(desktop.paste("png")) == (3, 2, PIXELS)
    vft.ok("clipboard", "undo_clipboard")
    assert desktop.paste() == b"hello secret words"

    archived = vft.ok("clipboard", "archive_clip", {"id": made["id"], "expectedVersion": 1})
    assert archived == {"id": made["id"], "version": 2, "archived": True}
    assert vft.err("clipboard", "copy_saved_clip", {"id": made["id"]}) == \
        "Restore this clip before copying it"
    assert vft.ok("clipboard", "get_clip", {"id": made["id"]})["text"] == "hello secret words"
    vft.ok("clipboard", "restore_clip", {"id": made["id"], "expectedVersion": 2})
    vft.ok("clipboard", "copy_saved_clip", {"id": made["id"]})


def test_the_hundred_clip_limit(vft):
    session = vft.session("clipboard")
    for i in range(100):
        assert session.call("save_clip", {"title": f"c{i}", "text": "t"}, id=i + 1)["isError"] is False
    session.call("archive_clip", {"id": session.call("search_clips", {}, id=200)["structuredContent"]
                                  ["records"][0]["id"], "expectedVersion": 1}, id=201)
    refused = session.call("save_clip", {"title": "one more", "text": "t"}, id=202)
    assert refused["isError"] is True
    assert refused["content"][0]["text"] == "Saved clip limit reached (100)"
    session.close()


def test_nothing_of_the_clipboard_is_on_disk_in_plain_text(vft, desktop):
    desktop.copy("previous-plaintext-marker".encode())
    write_text(vft, "written")
    vft.ok("clipboard", "save_clip", {"title": "t", "text": "clip-plaintext-marker"})
    files = [p for p in vft.home.rglob("*") if p.is_file()]
    assert files
    for path in files:
        data = path.read_bytes()
        for marker in (b"previous-plaintext-marker", b"clip-plaintext-marker",
                       "previous-plaintext-marker".encode("utf-16-le")):
            assert marker not in data, path


# -- X11 specifics: processes, descriptors, no display -------------------------------------------
def holders(vft):
    """Processes (other than xclip and the server) that carry this test's data home."""
    found = []
    marker = ("VEYMORA_DATA_HOME=" + str(vft.home)).encode()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                environ = f.read().split(b"\0")
            with open(f"/proc/{entry}/comm", "rb") as f:
                name = f.read().strip()
        except OSError:
            continue
        if marker in environ and name.startswith(b"veymora"):
            found.append(int(entry))
    return found


def wait_gone(pids):
    """Waits for the processes to end (a pidfd becomes readable at the exit); bounded."""
    for pid in pids:
        try:
            fd = os.pidfd_open(pid)
        except ProcessLookupError:
            continue
        try:
            ready, _, _ = select.select([fd], [], [], TIMEOUT)
            assert ready, f"process {pid} is still running"
        finally:
            os.close(fd)


def one_holder(vft, server=None, previous=()):
    """The one holder left once the previous ones have given way."""
    wait_gone(previous)
    found = [p for p in holders(vft) if p != server]
    assert len(found) == 1, found
    return found


@linux_only_because("the holder process and its descriptors are the X11 mechanism")
def test_one_detached_holder_and_no_leaked_descriptors(vft, desktop):
    session = vft.session("clipboard")
    server = session.proc.pid
    def descriptors():
        return sorted(os.readlink(f"/proc/{server}/fd/{d}") for d in os.listdir(f"/proc/{server}/fd"))

    assert session.call("read_clipboard", {"kind": "text"}, id=100)["isError"] is True
    fds_before = descriptors()
    current = []
    for i in range(3):
        assert session.call("write_clipboard", {"text": f"text {i}"}, id=i + 1)["isError"] is False
        assert session.call("read_clipboard", {"kind": "text"}, id=10 + i)["isError"] is False
        current = one_holder(vft, server, current)
    assert session.call("read_clipboard", {"kind": "image"}, id=20)["isError"] is True
    assert descriptors() == fds_before
    # The holder is nobody's zombie child, in a session of its own, with nothing of the tool.
    (holder,) = current
    with open(f"/proc/{holder}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    assert int(fields[1]) != server  # parent
    assert int(fields[3]) not in (os.getsid(0), os.getsid(server))  # session
    targets = sorted(os.readlink(f"/proc/{holder}/fd/{d}") for d in os.listdir(f"/proc/{holder}/fd"))
    assert targets[:3] == ["/dev/null"] * 3 and len(targets) == 4 and targets[3].startswith("socket:")
    session.close()

    desktop.copy(b"another program takes it")
    wait_gone(current)
    assert holders(vft) == []
    write_text(vft, "again")
    current = one_holder(vft)
    vft.ok("clipboard", "write_clipboard", {"text": "and again"})
    current = one_holder(vft, previous=current)
    vft.ok("clipboard", "undo_clipboard")  # back to "again", held by a new holder
    one_holder(vft, previous=current)
    assert desktop.paste() == b"again"


@linux_only_because("X11 displays")
def test_without_a_display_the_window_cannot_be_created(vft):
    env = dict(vft.env)
    env.pop("DISPLAY", None)
    message = vft.err("clipboard", "inspect_clipboard", env=env)
    assert message == "Clipboard owner window could not be created: " \
                      "no X11 display is available (DISPLAY is not set)"
    env["DISPLAY"] = ":4093"
    assert vft.err("clipboard", "write_clipboard", {"text": "x"}, env=env) == \
        "Clipboard owner window could not be created: cannot connect to the X11 display \":4093\""
    assert vft.err("clipboard", "undo_clipboard", env=env) == NO_UNDO
    # Clips from supplied text need no clipboard.
    made = vft.ok("clipboard", "save_clip", {"title": "t", "text": "x"}, env=env)
    assert vft.ok("clipboard", "get_clip", {"id": made["id"]}, env=env)["text"] == "x"


# -- X11 peers that stall: deadlines, and a holder that holds only what it serves ----------------
BUSY = "Clipboard is busy; try again"


@contextmanager
def x11_peer(vft, desktop, mode, ready):
    """A hostile program of tests/tools/x11_peer, in place once it has said so."""
    peer = subprocess.Popen(vft.tool_command("x11_peer") + [mode], env=desktop.env,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        assert peer.stdout.readline() == ready + b"\n"
        yield peer
    finally:
        peer.stdin.close()
        peer.wait(timeout=TIMEOUT)


def found_in_memory(pid, needles):
    """The needles found in the readable memory of the process. Mappings of terabytes (a
    sanitizer's shadow, reserved space) hold no data of the program and are passed over."""
    chunk, overlap, found = 1 << 24, max(len(n) for n in needles), set()
    with open(f"/proc/{pid}/maps") as maps, open(f"/proc/{pid}/mem", "rb", 0) as memory:
        for line in maps:
            span, permissions = line.split()[:2]
            start, end = (int(x, 16) for x in span.split("-"))
            if not permissions.startswith("r") or end - start > 1 << 32:
                continue
            tail = b""
            for at in range(start, end, chunk):
                try:
                    memory.seek(at)
                    data = tail + memory.read(min(chunk, end - at))
                except (OSError, OverflowError, ValueError):
                    break  # [vvar] and the like
                found.update(n for n in needles if n in data)
                tail = data[-overlap:]
    return found


@linux_only_because("INCR transfers are the X11 selection's")
def test_an_owner_that_trickles_a_transfer_is_busy_within_its_deadline(vft, desktop):
    session = vft.session("clipboard")
    with x11_peer(vft, desktop, "trickle", b"owned"):
        started = time.monotonic()
        answer = session.call("read_clipboard", {"kind": "text"}, id=1)
        # Each piece comes within the second that one wait allows; the transfer's own
        # deadline ends it all the same.
        assert time.monotonic() - started < 25
        assert answer["isError"] is True and answer["content"][0]["text"] == BUSY
        # The call let go of the app: another process's call goes through.
        made = vft.ok("clipboard", "save_clip", {"title": "t", "text": "x"})
        assert session.call("get_clip", {"id": made["id"]}, id=2)["isError"] is False
        assert vft.err("clipboard", "write_clipboard", {"text": "y"}) == BUSY
    session.close()
    assert vft.ok("clipboard", "search_clips")["total"] == 1


@linux_only_because("INCR transfers are the X11 selection's")
def test_a_stop_ends_a_one_shot_call_mid_transfer_within_its_patience(vft, desktop):
    with x11_peer(vft, desktop, "trickle", b"owned") as peer:
        call = subprocess.Popen(
            vft.command(["clipboard", "call", "read_clipboard", '{"kind": "text"}']),
            env=desktop.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        ready, _, _ = select.select([peer.stdout], [], [], TIMEOUT)
        assert ready and peer.stdout.readline() == b"transferring\n"
        stopped = time.monotonic()
        call.send_signal(signal.SIGTERM)
        call.send_signal(signal.SIGTERM)
        assert call.wait(TIMEOUT) == -signal.SIGTERM
        # The session's patience with a stopped call is five seconds.
        assert time.monotonic() - stopped < 5
        assert call.communicate() == (b"", b"")


@linux_only_because("TARGETS lists are the X11 selection's")
def test_an_owner_that_lists_no_targets_offers_nothing(vft, desktop):
    # An empty list is read as such (the sanitizer build checks how), not as "unknown".
    with x11_peer(vft, desktop, "bare", b"owned"):
        inspected = vft.ok("clipboard", "inspect_clipboard")
        assert (inspected["empty"], inspected["textAvailable"]) == (True, False)
        assert vft.err("clipboard", "read_clipboard", {"kind": "text"}) == \
            "Requested clipboard format is unavailable"
        assert vft.ok("clipboard", "write_clipboard", {"text": "y"})["kind"] == "text"


@linux_only_because("X11 displays")
def test_a_display_that_never_answers(vft):
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    for number in range(4000, 4100):  # an abstract X11 socket name nobody listens on
        try:
            listener.bind(f"\0/tmp/.X11-unix/X{number}")
            break
        except OSError:
            continue
    with listener:
        listener.listen(8)
        env = dict(vft.env, DISPLAY=f":{number}")
        silent = f'Clipboard owner window could not be created: the X11 display ":{number}" did not answer'
        started = time.monotonic()
        assert vft.err("clipboard", "inspect_clipboard", env=env) == silent
        assert vft.err("clipboard", "write_clipboard", {"text": "x"}, env=env) == silent
        assert time.monotonic() - started < 25
        # The tools that need no clipboard work as ever.
        made = vft.ok("clipboard", "save_clip", {"title": "t", "text": "x"}, env=env)
        assert vft.ok("clipboard", "get_clip", {"id": made["id"]}, env=env)["text"] == "x"


@linux_only_because("the holder process is the X11 mechanism")
def test_readers_that_stall_keep_no_holder_alive(vft, desktop):
    big = "s" * 600_000  # served in pieces
    with ExitStack() as peers:
        for i in range(4):
            write_text(vft, big + str(i))
            # The previous holder, busy with a stalled reader, is gone already.
            assert len(holders(vft)) == 1
            assert desktop.paste() == (big + str(i)).encode()  # others are served meanwhile
            peers.enter_context(x11_peer(vft, desktop, "stall", b"stalled"))
        (holder,) = holders(vft)
        # Another program takes the selection: the stalled transfer does not keep it.
        desktop.copy(b"the user's copy")
        wait_gone([holder])
    assert holders(vft) == []


@linux_only_because("the holder process and /proc are the X11 build's")
def test_the_holder_holds_only_what_it_serves(vft, desktop):
    clip_secret, previous_secret = "clip-secret-9b1c4e", "previous-secret-7f3a2d"
    desktop.copy(previous_secret.encode())  # becomes the undo snapshot
    session = vft.session("clipboard")
    made = session.call("save_clip", {"title": "t", "text": clip_secret}, id=1)
    assert session.call("get_clip", {"id": made["structuredContent"]["id"]}, id=2)["isError"] is False
    assert session.call("write_clipboard", {"text": "served-text-1e5d"}, id=3)["isError"] is False
    (holder,) = one_holder(vft, session.proc.pid)
    secrets = [s.encode(encoding) for s in (clip_secret, previous_secret)
               for encoding in ("utf-8", "utf-16-le")]
    # What it serves is there to be found; nothing else of the call is.
    assert found_in_memory(holder, [b"served-text-1e5d"] + secrets) == {b"served-text-1e5d"}
    session.close()

    vft.ok("clipboard", "write_clipboard", {"text": "one-shot-argument-5d2e"})
    (holder,) = one_holder(vft, previous=[holder])
    with open(f"/proc/{holder}/cmdline", "rb") as f:
        command_line = f.read()
    assert b"5d2e" not in command_line and b"write_clipboard" not in command_line
    assert found_in_memory(holder, [clip_secret.encode()]) == set()
