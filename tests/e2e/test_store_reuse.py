"""A session keeps its store document between calls only while the file holds exactly the
bytes that document came from: every change made elsewhere, and every failed save, shows."""
import json
import os
import resource
import signal
import subprocess

from conftest import TIMEOUT, Session, linux_only_because


def bookmark(session, title):
    url = f"https://b{title.encode().hex()}.example/"
    result = session.call("save_bookmark", {"title": title, "url": url})
    assert result["isError"] is False, result
    return result["structuredContent"]


def titles(session):
    # Every address holds the query: the match runs over the session's texts of the records.
    result = session.call("search_bookmarks", {"limit": 100, "query": "EXAMPLE"})
    assert result["isError"] is False, result
    return sorted(r["title"] for r in result["structuredContent"]["records"])


def count(session):
    return session.call("get_storage_info")["structuredContent"]["recordCount"]


def test_a_session_sees_every_change_made_between_its_calls(vft):
    session = vft.session("bookmarks")
    bookmark(session, "first")
    assert titles(session) == ["first"]

    vft.ok("bookmarks", "save_bookmark", {"title": "oneshot", "url": "https://o.example/"})
    assert titles(session) == ["first", "oneshot"]

    other = vft.session("bookmarks")
    bookmark(other, "other")
    other.close()
    assert titles(session) == ["first", "oneshot", "other"]

    # The same size and modification time, different bytes.
    store = vft.store_file("bookmarks")
    before = os.stat(store)
    data = store.read_bytes()
    assert data.count(b'"first"') == 1
    store.write_bytes(data.replace(b'"first"', b'"FIRST"'))
    os.utime(store, ns=(before.st_atime_ns, before.st_mtime_ns))
    assert os.stat(store).st_size == before.st_size
    assert titles(session) == ["FIRST", "oneshot", "other"]

    store.unlink()
    assert titles(session) == []
    bookmark(session, "again")
    assert titles(session) == ["again"]
    store.write_bytes(b"{")
    assert session.call("get_storage_info")["content"][0]["text"].startswith(
        "Invalid store; original preserved: ")
    _, err, status = session.close()
    assert status == 0 and err == b""


def test_a_protected_session_sees_a_one_shot_save(vft):
    args = {"title": "Power", "provider": "ACME", "accountLabel": "Home",
            "periodStart": "2024-01-01", "periodEnd": "2024-01-31", "dueDate": "2024-02-10",
            "amountMinor": 100, "currency": "EUR"}
    session = vft.session("bills")
    assert session.call("save_bill", args)["isError"] is False
    assert count(session) == 1
    vft.ok("bills", "save_bill", dict(args, periodStart="2024-02-01", periodEnd="2024-02-29"))
    assert count(session) == 2
    assert session.call("save_bill", dict(args, periodStart="2024-03-01",
                                          periodEnd="2024-03-31"))["isError"] is False
    assert vft.ok("bills", "get_storage_info")["recordCount"] == 3
    session.close()


@linux_only_because("Linux file modes and the user key file")
def test_a_protected_session_opens_its_store_again_every_call(vft):
    session = vft.session("bills")
    assert count(session) == 0
    assert session.call("save_bill", {
        "title": "Power", "provider": "ACME", "periodStart": "2024-01-01",
        "periodEnd": "2024-01-31", "dueDate": "2024-02-10", "amountMinor": 1,
        "currency": "EUR"})["isError"] is False
    key = vft.user_home / ".config" / "veymora" / "user.key"
    original = key.read_bytes()
    key.chmod(0o644)
    refused = session.call("get_storage_info")
    assert refused["isError"] is True
    assert refused["content"][0]["text"].startswith("User data protection failed: ")
    key.chmod(0o600)
    assert count(session) == 1
    key.write_bytes(bytes(32))
    assert session.call("get_storage_info")["content"][0]["text"] == \
        "User data protection failed"
    key.write_bytes(original)
    assert count(session) == 1
    session.close()


def test_stores_keep_their_exact_form(vft):
    session = vft.session("bookmarks")
    for title in ["Zürich \"quoted\" a/b", "tab\there", "\u007f and \u001f", "😀"]:
        bookmark(session, title)
    session.close()
    data = vft.store_file("bookmarks").read_bytes().decode("utf-8")
    assert data == json.dumps(json.loads(data), indent=2, sort_keys=True, ensure_ascii=False)
    assert "\\u001f" in data and "\u007f" in data and "a/b" in data


@linux_only_because("a file size limit (RLIMIT_FSIZE) makes the save fail")
def test_a_failed_save_leaves_the_session_seeing_the_file(vft):
    def limited():
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

    session = Session(subprocess.Popen(vft.command(["bookmarks"]), stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       env=vft.env, cwd=vft.tmp, preexec_fn=limited))
    saved = []
    for n in range(100):
        result = session.call("save_bookmark", {"title": f"page {n}",
                                                "url": f"https://p{n}.example/"})
        if result["isError"]:
            assert result["content"][0]["text"] == "File too large"
            break
        saved.append(f"page {n}")
    assert 0 < len(saved) < 100
    before = vft.store_file("bookmarks").read_bytes()
    # The record added in memory before the save failed is gone.
    assert count(session) == len(saved)
    assert titles(session) == sorted(saved)
    assert vft.store_file("bookmarks").read_bytes() == before
    assert [p.name for p in vft.folder("bookmarks").iterdir() if p.name.endswith(".tmp")] == []
    _, err, status = session.close()
    assert status == 0 and err == b""
