"""The bookmarks app through the real program: address checks and normal form, the text,
folder, note and tag limits, corrections, the record limit, and many writers at once."""
import json
import re

import pytest

from conftest import snapshot

NOT_A_URL = "Use a complete http or https URL"
NOT_PLAIN = "Use an http(s) URL without embedded credentials"
CREDENTIAL_PARAM = "Remove credential-bearing URL parameters before bookmarking"
LIMIT = "Bookmark limit reached (5000)"
BAD_TAGS = "At most 20 short text tags"
TITLE_BAD = "title must be 1\u2013160 characters without NUL"
URL_BAD = "url must be 1\u20134096 characters without NUL"
CONFLICT = "Version conflict: read this record again; current version is "
ID_SHAPE = re.compile(r"^bookmark-[0-9]+-[0-9]+$")


class Client:
    """One session of the bookmarks app with success/failure helpers."""

    def __init__(self, session):
        self.session = session
        self.next_id = 1

    def _call(self, tool, args):
        self.next_id += 1
        return self.session.call(tool, args, id=self.next_id)

    def ok(self, tool, args):
        result = self._call(tool, args)
        assert result["isError"] is False, result["content"][0]["text"]
        assert json.loads(result["content"][0]["text"]) == result["structuredContent"]
        return result["structuredContent"]

    def err(self, tool, args):
        result = self._call(tool, args)
        assert result["isError"] is True, result
        assert len(result["content"]) == 1
        return result["content"][0]["text"]

    def save(self, **args):
        args.setdefault("title", "T")
        return self.ok("save_bookmark", args)


@pytest.fixture
def bm(vft):
    session = vft.session("bookmarks")
    yield Client(session)
    out, err, status = session.close()
    assert (out, err, status) == (b"", b"", 0)


def write_store(vft, records):
    folder = vft.folder("bookmarks")
    folder.mkdir(exist_ok=True)
    document = {"app": "bookmarks", "records": records, "schema": 1, "undo": None}
    vft.store_file("bookmarks").write_text(json.dumps(document, indent=2), encoding="utf-8")


def stored(vft):
    return vft.read_store("bookmarks")["records"]


# ---- addresses --------------------------------------------------------------------------------

@pytest.mark.parametrize("given,kept", [
    ("HTTPS://EXAMPLE.COM", "https://example.com/"),
    ("  http://Example.com:80  ", "http://example.com/"),
    ("https://example.com:443/a/./b/../c", "https://example.com/a/c"),
    ("https://example.com:8443", "https://example.com:8443/"),
    ("https:\\\\example.com\\docs\\x", "https://example.com/docs/x"),
    ("https://B\u00fccher.example/", "https://xn--bcher-kva.example/"),
    ("http://0x7f.1/", "http://127.0.0.1/"),
    ("http://[0:0::1]:80/", "http://[::1]/"),
    ("https://example.com/a b?q=\u00e9#fr ag", "https://example.com/a%20b?q=%C3%A9#fr%20ag"),
    ("https://exa\tmple.com/p\na", "https://example.com/pa"),
    ("https://@example.com/", "https://example.com/"),
    ("https:example.com", "https://example.com/"),
])
def test_addresses_are_stored_in_normal_form(bm, vft, given, kept):
    saved = bm.save(url=given)
    assert saved["url"] == kept
    assert stored(vft)[-1]["url"] == kept


@pytest.mark.parametrize("given,message", [
    ("example.com/path", NOT_A_URL),
    ("www.example.com", NOT_A_URL),
    ("/relative/path", NOT_A_URL),
    ("https://", NOT_A_URL),
    ("http://exa mple.com/", NOT_A_URL),
    ("https://[::1", NOT_A_URL),
    ("https://example.com:99999/", NOT_A_URL),
    ("ftp://example.com/file", NOT_PLAIN),
    ("mailto:someone@example.com", NOT_PLAIN),
    ("javascript:alert(1)", NOT_PLAIN),
    ("file:///etc/passwd", NOT_PLAIN),
    ("wss://example.com/", NOT_PLAIN),
    ("https://user@example.com/", NOT_PLAIN),
    ("https://:secret@example.com/", NOT_PLAIN),
    ("https://user:@example.com/", NOT_PLAIN),
    ("https://user:pw@example.com/", NOT_PLAIN),
    ("https://example.com/?Access_Token=abc", CREDENTIAL_PARAM),
    ("https://example.com/?access%5Ftoken=abc", CREDENTIAL_PARAM),
    ("https://example.com/?a=1&PASSWORD", CREDENTIAL_PARAM),
    ("https://example.com/?api_key=", CREDENTIAL_PARAM),
    ("https://example.com/?&&x=1&&Secret=y", CREDENTIAL_PARAM),
    ("https://example.com/?%74oken=1", CREDENTIAL_PARAM),
    ("https://example.com/?Authorization=Bearer+x", CREDENTIAL_PARAM),
    ("https://example.com/?refresh_token=a=b", CREDENTIAL_PARAM),
    # Full Unicode lower-casing: the Kelvin sign is a k (also in the Windows build's NLS
    # fallback, which Wine uses).
    ("https://example.com/?to\u212aen=1", CREDENTIAL_PARAM),
])
def test_refused_addresses_change_nothing(bm, vft, given, message):
    bm.save(url="https://kept.example/")
    before = snapshot(vft.store_file("bookmarks"))
    assert bm.err("save_bookmark", {"title": "T", "url": given}) == message
    assert snapshot(vft.store_file("bookmarks")) == before


@pytest.mark.parametrize("given", [
    "https://example.com/?tokens=1",
    "https://example.com/?tokenizer=abc",
    "https://example.com/?my_token=1",
    "https://example.com/?x=token",
    "https://example.com/?to+ken=1",
    "https://example.com/page#access_token=abc",
    "https://example.com/?q=1#password",
    "https://example.com/token/password?secret%3D=",
])
def test_credential_names_must_match_whole(bm, given):
    saved = bm.save(url=given)
    assert saved["url"].startswith("https://example.com/")


def test_url_length_and_nul(bm):
    base = "https://example.com/"
    longest = base + "a" * (4096 - len(base))
    assert bm.save(url="  " + longest + "\n")["url"] == longest
    assert bm.err("save_bookmark", {"title": "T", "url": longest + "a"}) == URL_BAD
    assert bm.err("save_bookmark", {"title": "T", "url": "https://e.com/\u0000"}) == URL_BAD
    assert bm.err("save_bookmark", {"title": "T", "url": " \u3000 "}) == URL_BAD
    # The title is read first.
    assert bm.err("save_bookmark", {"title": " ", "url": "nonsense"}) == TITLE_BAD


# ---- title, folder, note, tags ----------------------------------------------------------------

def test_title_is_trimmed_and_counted_in_characters(bm):
    title = "\u00e9" * 160
    saved = bm.save(title="  \u3000" + title + "\t ", url="https://e.com")
    assert saved["title"] == title
    assert bm.err("save_bookmark", {"title": title + "x", "url": "https://e.com"}) == TITLE_BAD
    assert bm.err("save_bookmark", {"title": "   ", "url": "https://e.com"}) == TITLE_BAD
    assert bm.err("save_bookmark", {"title": "a\u0000b", "url": "https://e.com"}) == TITLE_BAD
    assert bm.err("save_bookmark", {"url": "https://e.com"}) == "Missing argument: title"


def test_folder_and_note_are_bounded_in_bytes_and_kept_as_given(bm):
    folder = "\u00e9" * 50  # 100 bytes
    note = " " + "n" * 3998 + " "
    saved = bm.save(url="https://e.com", folder=folder, note=note)
    assert (saved["folder"], saved["note"]) == (folder, note)
    assert bm.save(url="https://e.com", folder="", note="")["folder"] == ""
    assert bm.err("save_bookmark", {"title": "T", "url": "https://e.com",
                                    "folder": folder + "x"}) == "folder is too long"
    assert bm.err("save_bookmark", {"title": "T", "url": "https://e.com",
                                    "note": note + "x"}) == "note is too long"


def test_tags_are_bounded_and_kept_as_given(bm):
    twenty = ["\u00e9" * 40] * 19 + ["x" * 80]
    assert bm.save(url="https://e.com", tags=twenty)["tags"] == twenty
    odd = ["B", "a", "a", "", " spaced "]
    assert bm.save(url="https://e.com", tags=odd)["tags"] == odd
    assert bm.save(url="https://e.com", tags=[])["tags"] == []
    for tags in (["t"] * 21, ["x" * 81], ["ok", 5], [None], [["nested"]]):
        assert bm.err("save_bookmark", {"title": "T", "url": "https://e.com",
                                        "tags": tags}) == BAD_TAGS
    assert bm.ok("search_bookmarks", {})["total"] == 3


# ---- records ----------------------------------------------------------------------------------

def test_new_bookmark_record(bm, vft):
    saved = bm.save(title="Docs", url="https://docs.example/")
    assert set(saved) == {"archived", "createdAt", "id", "title", "updatedAt", "url", "version"}
    assert ID_SHAPE.match(saved["id"])
    assert saved["version"] == 1 and saved["archived"] is False
    assert saved["updatedAt"] - saved["createdAt"] in (0, 1)
    assert stored(vft) == [saved]
    assert bm.ok("get_bookmark", {"id": saved["id"]}) == saved
    assert bm.err("get_bookmark", {"id": saved["id"] + "0"}) == "Record not found"
    assert bm.err("get_bookmark", {"id": 7}) == "Invalid type for id"


def test_correction_replaces_title_and_url_and_keeps_the_rest(bm, vft):
    first = bm.save(title="Old", url="https://old.example/", folder="F", note="N", tags=["a"])
    other = bm.save(title="Other", url="https://other.example/")
    fixed = bm.save(id=first["id"], expectedVersion=1, title=" New ", url="HTTP://NEW.example")
    assert fixed == dict(first, title="New", url="http://new.example/", version=2,
                         updatedAt=fixed["updatedAt"])
    assert fixed["updatedAt"] >= first["updatedAt"]
    # The record keeps its place; the other one is untouched.
    assert stored(vft) == [fixed, other]
    emptied = bm.save(id=first["id"], expectedVersion=2, title="New", url="https://n.example",
                      folder="", note="", tags=[])
    assert (emptied["folder"], emptied["note"], emptied["tags"], emptied["version"]) == \
        ("", "", [], 3)


def test_corrections_are_version_guarded(bm, vft):
    first = bm.save(url="https://e.com")
    before = snapshot(vft.store_file("bookmarks"))
    args = {"id": first["id"], "title": "X", "url": "https://x.example"}
    assert bm.err("save_bookmark", args) == CONFLICT + "1"
    assert bm.err("save_bookmark", dict(args, expectedVersion=2)) == CONFLICT + "1"
    assert bm.err("save_bookmark", dict(args, expectedVersion=-1)) == \
        "Invalid type for expectedVersion"
    assert bm.err("save_bookmark", dict(args, id="bookmark-1-1", expectedVersion=1)) == \
        "Record not found"
    # Content is checked before the record is looked up.
    assert bm.err("save_bookmark", dict(args, id="bookmark-1-1", url="ftp://x")) == NOT_PLAIN
    assert snapshot(vft.store_file("bookmarks")) == before


def test_archived_bookmarks_can_be_corrected_and_stay_archived(bm):
    first = bm.save(url="https://e.com")
    bm.ok("archive_bookmark", {"id": first["id"], "expectedVersion": 1})
    fixed = bm.save(id=first["id"], expectedVersion=2, title="Still hidden", url="https://e.com")
    assert (fixed["archived"], fixed["version"]) == (True, 3)
    assert bm.ok("search_bookmarks", {"query": "hidden"})["total"] == 0
    assert bm.ok("search_bookmarks", {"query": "hidden", "includeArchived": True})["total"] == 1


def test_record_limit_counts_archived_records_and_spares_corrections(bm, vft):
    records = [{"archived": True, "createdAt": 1, "id": f"bookmark-{n}-1", "title": "t",
                "updatedAt": 1, "url": "https://e.com/", "version": 1} for n in range(5000)]
    write_store(vft, records)
    assert bm.err("save_bookmark", {"title": "T", "url": "https://e.com"}) == LIMIT
    fixed = bm.save(id="bookmark-4999-1", expectedVersion=1, url="https://f.example")
    assert fixed["version"] == 2
    assert len(stored(vft)) == 5000
    assert bm.ok("search_bookmarks", {"includeArchived": True, "limit": 1})["total"] == 5000

    write_store(vft, records[:4999])
    assert ID_SHAPE.match(bm.save(url="https://e.com")["id"])
    assert bm.err("save_bookmark", {"title": "T", "url": "https://e.com"}) == LIMIT


# ---- search -----------------------------------------------------------------------------------

def test_search_sees_every_member_and_folder_filter_is_exact(bm):
    a = bm.save(title="Alpha", url="https://alpha.example/", folder="Work")
    b = bm.save(title="Beta", url="https://beta.example/", folder="work", tags=["Kitchen"])
    c = bm.save(title="Gamma", url="https://gamma.example/", folder="Work ", note="recipes")
    d = bm.save(title="Delta", url="https://delta.example/")

    def found(args):
        return [r["id"] for r in bm.ok("search_bookmarks", args)["records"]]

    assert found({}) == [d["id"], c["id"], b["id"], a["id"]]
    assert found({"folder": "Work"}) == [a["id"]]
    assert found({"folder": "work"}) == [b["id"]]
    assert found({"folder": ""}) == []
    assert found({"query": "KITCHEN"}) == [b["id"]]
    assert found({"query": "RECIPES"}) == [c["id"]]
    assert found({"query": "beta.example"}) == [b["id"]]
    assert found({"query": "work"}) == [c["id"], b["id"], a["id"]]
    assert found({"query": "work", "folder": "Work"}) == [a["id"]]
    result = bm.ok("search_bookmarks", {"query": "example", "limit": 2})
    assert (result["limit"], result["total"], len(result["records"])) == (2, 4, 2)


# ---- one-shot command line ----------------------------------------------------------------------

def test_one_shot_calls_share_the_store(vft):
    saved = vft.ok("bookmarks", "save_bookmark",
                   {"title": "One", "url": "HTTPS://ONE.example", "tags": ["x"]})
    assert saved["url"] == "https://one.example/"
    done = vft.call("bookmarks", "get_bookmark", {"id": saved["id"]})
    assert done.out == json.dumps(saved, indent=2, ensure_ascii=False, sort_keys=True) + "\n"
    assert vft.err("bookmarks", "save_bookmark",
                   {"title": "T", "url": "https://e.com/?Token=1"}) == CREDENTIAL_PARAM
    archived = vft.ok("bookmarks", "archive_bookmark", {"id": saved["id"], "expectedVersion": 1})
    assert archived == {"archived": True, "id": saved["id"], "version": 2}
    assert vft.ok("bookmarks", "search_bookmarks", {})["total"] == 0
    assert vft.err("bookmarks", "restore_bookmark", {"id": saved["id"], "expectedVersion": 1}) == \
        CONFLICT + "2"
    # The pid in the id is the creating process's; a second process makes a different id.
    again = vft.ok("bookmarks", "save_bookmark", {"title": "Two", "url": "https://two.example"})
    assert again["id"] != saved["id"]
    assert [r["id"] for r in stored(vft)] == [saved["id"], again["id"]]


# ---- many writers -----------------------------------------------------------------------------

def test_four_sessions_saving_at_once_lose_nothing(vft):
    sessions = [vft.session("bookmarks") for _ in range(4)]
    scripts = []
    for n in range(4):
        lines = []
        for i in range(50):
            lines.append(json.dumps({
                "jsonrpc": "2.0", "id": i, "method": "tools/call",
                "params": {"name": "save_bookmark",
                           "arguments": {"title": f"w{n}-{i}",
                                         "url": f"https://w{n}.example/{i}"}}}))
        scripts.append(("\n".join(lines) + "\n").encode())
    # All four processes are running before any of them gets its work.
    for session, script in zip(sessions, scripts):
        session.send_raw(script)
    saved = []
    for n, session in enumerate(sessions):
        out, err, status = session.close()
        assert (err, status) == (b"", 0)
        responses = [json.loads(line) for line in out.splitlines()]
        assert [r["id"] for r in responses] == list(range(50))
        for r in responses:
            # The lock waits about two seconds: on a busy machine a call can be refused, with
            # its message, and then it has saved nothing.
            if r["result"]["isError"]:
                assert r["result"]["content"][0]["text"] == \
                    "Another operation still owns the record lock; retry"
            else:
                saved.append(f"w{n}-{r['id']}")
    assert saved

    records = stored(vft)
    assert len({r["id"] for r in records}) == len(records)
    assert {r["version"] for r in records} == {1}
    assert sorted(r["title"] for r in records) == sorted(saved)
    # Each writer's records keep their own order.
    for n in range(4):
        own = [r["title"] for r in records if r["title"].startswith(f"w{n}-")]
        assert own == [t for t in saved if t.startswith(f"w{n}-")]
    assert [p.name for p in vft.folder("bookmarks").iterdir() if p.name.endswith(".tmp")] == []
