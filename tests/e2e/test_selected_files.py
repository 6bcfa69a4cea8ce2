"""Files the user names by path, seen through studio evidence receipts: absolute paths only,
regular files of at most 20 MiB, links and dot segments resolved to one file and one
fingerprint, and the user's files never changed."""
import hashlib
import json
import os

import pytest

from conftest import WINE, linux_only_because, snapshot

ABSOLUTE = "Choose an absolute local file path"
REGULAR = "Choose a regular file no larger than 20 MiB"
LIMIT = 20 * 1048576
RECEIPT = {"tool_id": "my-tool", "tool_version": "0.1.0", "stage": "build", "outcome": "passed",
           "observed_at": "2025-03-01T10:00:00Z"}


@pytest.fixture
def tool(vft, tmp_path):
    """A registered tool; returns a function that records one receipt path and gives the
    completed process of that call."""
    source = tmp_path / "src"
    source.mkdir()
    vft.ok("studio", "register_free_tool", {"id": "my-tool", "name": "T", "purpose": "p",
                                            "sourcePath": vft.path(source)})

    def record(path_text):
        version = len(vft.read_store("studio")["records"][0]["evidence"]) + 1
        return vft.call("studio", "record_tool_evidence", {
            "id": "my-tool", "expectedVersion": version, "toolVersion": "0.1.0",
            "stage": "build", "outcome": "passed", "evidencePath": path_text})

    return record


def ok(done):
    assert done.returncode == 0, done.err
    return done.json()["evidence"][-1]


def error(done):
    assert done.returncode == 1, done.out
    return done.err.rstrip("\n")


def padded_receipt(size):
    """A receipt of exactly size bytes."""
    head = json.dumps({**RECEIPT, "pad": ""}).encode()
    pad = size - len(head)
    assert pad >= 0
    return json.dumps({**RECEIPT, "pad": "x" * pad}).encode()


def test_size_limit_is_twenty_mib_exactly(vft, tmp_path, tool):
    exact = tmp_path / "exact.json"
    exact.write_bytes(padded_receipt(LIMIT))
    over = tmp_path / "over.json"
    over.write_bytes(padded_receipt(LIMIT + 1))
    before = [snapshot(exact), snapshot(over)]
    entry = ok(tool(vft.path(exact)))
    assert entry["receiptSha256"] == hashlib.sha256(exact.read_bytes()).hexdigest()
    assert error(tool(vft.path(over))) == REGULAR
    assert [snapshot(exact), snapshot(over)] == before


def test_relative_paths_are_refused_before_the_file_system(vft, tmp_path, tool):
    # None of these exist, so only the absolute-path check can produce the message.
    for path in ("receipt.json", "sub/receipt.json", "sub\\receipt.json", "./r.json",
                 "..\\r.json", "C:receipt.json" if WINE else "~/receipt.json"):
        assert error(tool(path)) == ABSOLUTE, path


def test_folders_are_refused(vft, tmp_path, tool):
    folder = tmp_path / "folder.json"
    folder.mkdir()
    assert error(tool(vft.path(folder))) == REGULAR


def test_missing_file_gives_the_system_text(vft, tmp_path, tool):
    message = error(tool(vft.path(tmp_path / "missing.json")))
    assert message not in (ABSOLUTE, REGULAR, "")
    if not WINE:
        assert message == "No such file or directory"


def test_dot_segments_give_the_same_file_and_fingerprint(vft, tmp_path, tool):
    (tmp_path / "a" / "b").mkdir(parents=True)
    target = tmp_path / "receipt.json"
    target.write_bytes(json.dumps(RECEIPT).encode())
    before = snapshot(target)
    direct = ok(tool(vft.path(target)))
    dotted = ok(tool(vft.path(tmp_path / "a" / "b" / ".." / ".." / "." / "receipt.json")))
    assert direct["receiptSha256"] == dotted["receiptSha256"] == \
        hashlib.sha256(before[0]).hexdigest()
    # The entry keeps the path as the caller gave it.
    assert dotted["receiptPath"].endswith("receipt.json") and ".." in dotted["receiptPath"]
    assert snapshot(target) == before


@linux_only_because("host symbolic links, which Wine shows as the files they point to")
def test_links_resolve_to_their_target(vft, tmp_path, tool):
    target = tmp_path / "receipt.json"
    target.write_bytes(json.dumps(RECEIPT).encode())
    (tmp_path / "dir").mkdir()
    os.symlink(target, tmp_path / "link.json")
    os.symlink(tmp_path, tmp_path / "dir" / "up")
    os.symlink(tmp_path / "link.json", tmp_path / "chain.json")
    os.symlink(tmp_path / "dir", tmp_path / "to-folder.json")
    os.symlink(tmp_path / "nowhere.json", tmp_path / "dangling.json")
    before = snapshot(target)
    digest = hashlib.sha256(before[0]).hexdigest()
    for path in (target, tmp_path / "link.json", tmp_path / "chain.json",
                 tmp_path / "dir" / "up" / "link.json",
                 tmp_path / "dir" / "up" / "dir" / ".." / "receipt.json"):
        assert ok(tool(vft.path(path)))["receiptSha256"] == digest, path
    assert error(tool(vft.path(tmp_path / "to-folder.json"))) == REGULAR
    assert error(tool(vft.path(tmp_path / "dangling.json"))) == "No such file or directory"
    assert snapshot(target) == before
    assert os.path.islink(tmp_path / "link.json")


@linux_only_because("FIFOs and /dev/null")
def test_special_files_are_refused_without_waiting(vft, tmp_path, tool):
    fifo = tmp_path / "pipe.json"
    os.mkfifo(fifo)
    assert error(tool(vft.path(fifo))) == REGULAR
    assert error(tool("/dev/null")) == REGULAR


@linux_only_because("Linux permission bits and their error text")
@pytest.mark.skipif(hasattr(os, "geteuid") and os.geteuid() == 0, reason="root reads anything")
def test_unreadable_file_gives_the_system_text(vft, tmp_path, tool):
    locked = tmp_path / "locked.json"
    locked.write_bytes(json.dumps(RECEIPT).encode())
    locked.chmod(0)
    try:
        assert error(tool(vft.path(locked))) == "Permission denied"
    finally:
        locked.chmod(0o600)


def test_path_with_nul_is_refused(vft, tmp_path, tool):
    target = tmp_path / "receipt.json"
    target.write_bytes(json.dumps(RECEIPT).encode())
    # evidencePath itself refuses NUL; the read would otherwise stop at it and open another file.
    assert error(tool(vft.path(target) + "\u0000.txt")) == \
        "evidencePath must be 1\u20132048 characters without NUL"


def test_selected_files_are_never_changed(vft, tmp_path, tool):
    files = {}
    for name, content in [("good.json", json.dumps(RECEIPT).encode()),
                          ("bad.json", b"not json"),
                          ("mismatch.json", json.dumps({**RECEIPT, "stage": "tests"}).encode()),
                          ("empty.json", b"")]:
        path = tmp_path / name
        path.write_bytes(content)
        os.utime(path, ns=(1_600_000_000_000_000_000, 1_600_000_000_123_456_789))
        files[path] = snapshot(path)
    for path in files:
        tool(vft.path(path))
        tool(vft.path(path))
    for path, before in files.items():
        assert snapshot(path) == before, path
    assert sorted(p.name for p in tmp_path.iterdir() if p.is_file()) == \
        sorted(p.name for p in files)
