"""Saves under injected file-system faults: one call of a save (open, write, fsync, rename,
link, close or unlink) fails with EIO, ENOSPC or EINTR, or a write is cut short. Every
answered success is stored and was flushed; every answered failure leaves the store as it
was, leaves no temporary file behind, and a clean retry succeeds."""
import errno
import os
import shutil
import signal

import pytest

from conftest import TOOLS_DIR, linux_only_because

pytestmark = linux_only_because("the faults are injected with LD_PRELOAD")

LIBRARY = os.path.join(TOOLS_DIR, "libvft_faults.so")
KINDS = ["open", "write", "short", "fsync", "rename", "link", "close", "unlink"]
ERRORS = [errno.EIO, errno.ENOSPC, errno.EINTR]


def key_folder(vft):
    return vft.user_home / ".config" / "veymora"


def leftovers(vft):
    found = []
    for folder in (vft.home, key_folder(vft)):
        for root, _, names in os.walk(folder):
            found += [os.path.join(root, n) for n in names if n.endswith(".tmp")]
    return found


def store_bytes(vft, app):
    path = vft.store_file(app)
    return path.read_bytes() if path.exists() else None


def bookmark(vft, n):
    return "bookmarks", "save_bookmark", {"title": f"T{n}", "url": f"https://e{n}.example/"}


def bill(vft, n):
    return "bills", "save_bill", {"title": f"bill {n}", "provider": f"P{n}",
                                  "periodStart": "2024-01-01", "periodEnd": "2024-01-31",
                                  "dueDate": "2024-02-10", "amountMinor": 100 + n,
                                  "currency": "EUR"}


def document(vft, n):
    source = vft.tmp / "selected" / f"note-{n}.txt"
    source.parent.mkdir(exist_ok=True)
    source.write_text(f"note number {n}\n")
    return "wallet", "import_document", {"path": str(source), "title": f"doc {n}",
                                         "kind": "letter"}


def present(vft, app, n):
    tool = {"bookmarks": "search_bookmarks", "bills": "search_bills",
            "wallet": "search_documents"}[app]
    titles = {r["title"] for r in vft.ok(app, tool, {"limit": 100})["records"]}
    return {"bookmarks": f"T{n}", "bills": f"bill {n}", "wallet": f"doc {n}"}[app] in titles


def assert_flushed(log):
    """Every rename of the call moved a flushed file and was flushed into its folder."""
    lines = [line.split(" ") for line in log]
    for i, line in enumerate(lines):
        if line[0] != "rename":
            continue
        source, target = line[1], line[2]
        assert ["fsync", source] in lines[:i], f"{source} renamed unflushed"
        assert ["fsync", os.path.dirname(target)] in lines[i + 1:], f"{target} not flushed"


def faults(vft, kind, at, code=errno.EIO, kill=False):
    """The environment that makes the at-th call of this kind fail, and its log file."""
    assert os.path.exists(LIBRARY), "build the vft_faults library"
    log = vft.tmp / "faults.log"
    log.unlink(missing_ok=True)
    env = dict(vft.env, LD_PRELOAD=LIBRARY, VFT_FAULT_ROOT=str(vft.tmp),
               VFT_FAULT_CALL=kind, VFT_FAULT_AT=str(at), VFT_FAULT_ERRNO=str(code),
               VFT_FAULT_KILL="1" if kill else "0", VFT_FAULT_LOG=str(log),
               ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
    return env, log


def faulted_call(vft, make, n, kind, at):
    app, tool, args = make(vft, n)
    env, log = faults(vft, kind, at, ERRORS[at % len(ERRORS)])
    before = store_bytes(vft, app)
    done = vft.call(app, tool, args, env=env)
    lines = log.read_text().splitlines() if log.exists() else []
    injected = any(line.startswith("FAIL ") for line in lines)
    if done.returncode == 0:
        assert done.stderr == b""
        assert present(vft, app, n), (kind, at)
        assert_flushed(lines)
    else:
        assert done.returncode == 1 and injected, (kind, at, done.err)
        assert store_bytes(vft, app) == before, (kind, at, done.err)
        assert not [p for p in leftovers(vft) if "/.key-" in p], (kind, at)
        # What the failed call made went with it, unless removing it was what failed (the
        # next call's clean-up takes that).
        assert kind == "unlink" or leftovers(vft) == [], (kind, at, done.err)
        assert vft.ok(app, tool, args) is not None  # the clean retry
        assert present(vft, app, n)
        assert leftovers(vft) == [], (kind, at, done.err)
    return injected


@pytest.mark.parametrize("make,fresh_key", [(bookmark, False), (bill, False), (bill, True),
                                             (document, False)],
                         ids=["plain store", "protected store", "new user key",
                              "wallet import"])
def test_one_failed_call_of_a_save_loses_nothing(vft, make, fresh_key):
    app = make(vft, 0)[0]
    vft.ok(*make(vft, 0))
    n = 1
    for kind in KINDS:
        for at in range(1, 80):
            if fresh_key:
                shutil.rmtree(key_folder(vft), ignore_errors=True)
                shutil.rmtree(vft.folder(app), ignore_errors=True)
            n += 1
            if not faulted_call(vft, make, n, kind, at):
                break
    vft.ok(*make(vft, n + 1))
    assert leftovers(vft) == []


def test_a_failed_folder_flush_is_a_failure_and_gives_the_old_store_back(vft):
    vft.ok(*bookmark(vft, 1))
    before = store_bytes(vft, "bookmarks")
    # The second flush of a save is the folder's, after the rename.
    env, log = faults(vft, "fsync", 2)
    assert vft.err(*bookmark(vft, 2), env=env) == "Input/output error"
    assert f"FAIL fsync {vft.folder('bookmarks')}\n" in log.read_text()
    assert store_bytes(vft, "bookmarks") == before
    assert leftovers(vft) == []


def test_a_lock_file_deleted_while_locked_is_not_trusted(vft):
    vft.ok(*bookmark(vft, 1))
    lock = vft.folder("bookmarks") / "records.lock"
    # The file is deleted just after the lock on it was granted: that lock excludes nobody,
    # so the call takes a lock on the file now at the path.
    env, log = faults(vft, "flock", 1)
    vft.ok(*bookmark(vft, 2), env=env)
    assert lock.exists()
    assert log.read_text().count(f"open {lock}\n") >= 2  # opened again after the deletion


def test_the_next_save_removes_what_killed_saves_left_and_nothing_else(vft):
    vft.ok(*bookmark(vft, 1))
    folder = vft.folder("bookmarks")
    for n in (2, 3):  # killed between writing the temporary file and renaming it
        env, _ = faults(vft, "rename", 1, kill=True)
        assert vft.call(*bookmark(vft, n), env=env).returncode == -signal.SIGKILL
    killed = [p for p in folder.iterdir() if p.name.startswith(".write-")]
    assert len(killed) == 2
    others = [".write-1-2.tmp.keep", "write-1-2.tmp", ".write-x-2.tmp", ".write-12.tmp",
              ".key-1-2.tmp", "notes.txt"]
    for name in others:
        (folder / name).write_text("mine")
    (folder / ".write-5-6.tmp.d").mkdir()
    before = store_bytes(vft, "bookmarks")
    vft.ok(*bookmark(vft, 4))
    assert store_bytes(vft, "bookmarks") != before and present(vft, "bookmarks", 4)
    assert sorted(p.name for p in folder.iterdir()) == \
        sorted(others + [".write-5-6.tmp.d", "records.json", "records.lock"])
