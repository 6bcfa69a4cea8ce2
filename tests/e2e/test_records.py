"""The record rules every app shares, seen through the bookmarks app: bounded search, archive
and restore, version guards and touch."""
import json

import pytest

from conftest import snapshot

CONFLICT = "Version conflict: read this record again; current version is "


def record(n, **members):
    base = {"archived": False, "createdAt": 1700000000 + n, "id": f"bookmark-{n}-7",
            "title": f"title {n}", "updatedAt": 1700000000 + n,
            "url": f"https://site{n}.example/", "version": 1}
    base.update(members)
    return base


def write_store(vft, records):
    folder = vft.folder("bookmarks")
    folder.mkdir(exist_ok=True)
    document = {"app": "bookmarks", "records": records, "schema": 1, "undo": None}
    vft.store_file("bookmarks").write_text(json.dumps(document, indent=2), encoding="utf-8")


def stored(vft):
    return vft.read_store("bookmarks")["records"]


@pytest.fixture
def session(vft):
    s = vft.session("bookmarks")
    yield s
    out, err, status = s.close()
    assert (out, err, status) == (b"", b"", 0)


def ok(session, tool, args):
    result = session.call(tool, args)
    assert result["isError"] is False, result["content"][0]["text"]
    return result["structuredContent"]


def err(session, tool, args):
    result = session.call(tool, args)
    assert result["isError"] is True, result
    return result["content"][0]["text"]


# ---- bounded search ---------------------------------------------------------------------------

def test_search_limits_and_total(vft, session):
    write_store(vft, [record(n) for n in range(150)])

    def search(args):
        result = ok(session, "search_bookmarks", args)
        return result["limit"], result["total"], [r["id"] for r in result["records"]]

    limit, total, ids = search({})
    assert (limit, total, len(ids)) == (30, 150, 30)
    assert ids == [f"bookmark-{n}-7" for n in range(149, 119, -1)]
    assert search({"limit": 0})[:2] == (1, 150) and len(search({"limit": 0})[2]) == 1
    assert search({"limit": 1000})[:2] == (100, 150)
    assert len(search({"limit": 1000})[2]) == 100
    assert search({"limit": 100})[0] == 100
    assert search({"limit": 101})[0] == 100
    assert search({"limit": 18446744073709551615})[0] == 100
    assert search({"limit": 5, "query": "title 1"})[:2] == (5, 61)
    assert err(session, "search_bookmarks", {"limit": -1}) == "Invalid type for limit"
    assert err(session, "search_bookmarks", {"limit": 2.0}) == "Invalid type for limit"


def test_search_matches_the_lower_cased_record_text(vft, session):
    write_store(vft, [
        record(1, title="\u00e9t\u00e9 \u00e0 Paris"),
        record(2, archived=True, title="hidden summer"),
        record(3, title="STRASSE", tags=["Gr\u00fcn"]),
        record(4, title="plain", version=12),
    ])

    def ids(args):
        return [r["id"][9:10] for r in ok(session, "search_bookmarks", args)["records"]]

    assert ids({}) == ["4", "3", "1"]
    assert ids({"includeArchived": True}) == ["4", "3", "2", "1"]
    assert ids({"includeArchived": False}) == ["4", "3", "1"]
    # The member name "archived" is part of every record's text.
    assert ids({"query": "archived"}) == ["4", "3", "1"]
    assert ids({"query": "ARCHIVED", "includeArchived": True}) == ["4", "3", "2", "1"]
    assert ids({"query": "\u00c9T\u00c9"}) == ["1"]
    assert ids({"query": "gr\u00dcn"}) == ["3"]
    assert ids({"query": "summer"}) == []
    assert ids({"query": "summer", "includeArchived": True}) == ["2"]
    # Numbers, ids and member names are matched as compact JSON.
    assert ids({"query": '"version":12'}) == ["4"]
    assert ids({"query": "bookmark-3-7"}) == ["3"]
    assert ids({"query": '"createdat":1700000001'}) == ["1"]
    # The query is not trimmed.
    assert ids({"query": " paris"}) == ["1"]
    assert ids({"query": "  paris"}) == []
    assert ids({"query": ""}) == ["4", "3", "1"]


def test_search_never_writes(vft, session):
    write_store(vft, [record(1)])
    before = snapshot(vft.store_file("bookmarks"))
    ok(session, "search_bookmarks", {"query": "title"})
    ok(session, "get_bookmark", {"id": "bookmark-1-7"})
    assert snapshot(vft.store_file("bookmarks")) == before


# ---- archive and restore ----------------------------------------------------------------------

def test_archive_and_restore_raise_the_version_each_time(vft, session):
    write_store(vft, [record(1, version=3, extra={"kept": True})])
    rid = "bookmark-1-7"
    assert ok(session, "archive_bookmark", {"id": rid, "expectedVersion": 3}) == \
        {"archived": True, "id": rid, "version": 4}
    # Archiving an archived record is still a change.
    assert ok(session, "archive_bookmark", {"id": rid, "expectedVersion": 4}) == \
        {"archived": True, "id": rid, "version": 5}
    assert ok(session, "search_bookmarks", {})["total"] == 0
    assert ok(session, "restore_bookmark", {"id": rid, "expectedVersion": 5}) == \
        {"archived": False, "id": rid, "version": 6}
    assert ok(session, "restore_bookmark", {"id": rid, "expectedVersion": 6})["version"] == 7

    [saved] = stored(vft)
    assert saved["version"] == 7 and saved["archived"] is False
    assert saved["extra"] == {"kept": True}
    assert saved["createdAt"] == 1700000001
    assert saved["updatedAt"] > 1700000001
    # Versions stay integers in the file.
    assert '"version": 7' in vft.store_file("bookmarks").read_text(encoding="utf-8")


def test_version_conflicts_change_nothing(vft, session):
    write_store(vft, [record(1, version=3), record(2, archived=True, version=1)])
    before = snapshot(vft.store_file("bookmarks"))
    for tool in ("archive_bookmark", "restore_bookmark"):
        assert err(session, tool, {"id": "bookmark-1-7", "expectedVersion": 2}) == CONFLICT + "3"
        assert err(session, tool, {"id": "bookmark-1-7", "expectedVersion": 4}) == CONFLICT + "3"
        assert err(session, tool, {"id": "bookmark-9-7", "expectedVersion": 1}) == \
            "Record not found"
        assert err(session, tool, {"id": "bookmark-1-7"}) == "Missing argument: expectedVersion"
    save = {"id": "bookmark-1-7", "title": "T", "url": "https://e.com"}
    assert err(session, "save_bookmark", save) == CONFLICT + "3"
    assert err(session, "save_bookmark", dict(save, expectedVersion=1)) == CONFLICT + "3"
    assert snapshot(vft.store_file("bookmarks")) == before


@pytest.mark.parametrize("version,shown", [("3", '"3"'), (None, "null"), (2.5, "2.5"),
                                           ("absent", "null")])
def test_touch_restarts_versions_that_are_not_counts(vft, session, version, shown):
    rec = record(1)
    if version == "absent":
        del rec["version"]
    else:
        rec["version"] = version
    write_store(vft, [rec])
    # Neither side has a count: the check passes without expectedVersion, and touch starts
    # the count again at 1.
    assert err(session, "archive_bookmark", {"id": "bookmark-1-7", "expectedVersion": 1}) == \
        CONFLICT + shown
    fixed = ok(session, "save_bookmark", {"id": "bookmark-1-7", "title": "T",
                                          "url": "https://e.com"})
    assert fixed["version"] == 1
    assert ok(session, "archive_bookmark", {"id": "bookmark-1-7", "expectedVersion": 1}) == \
        {"archived": True, "id": "bookmark-1-7", "version": 2}


def test_lookup_takes_the_first_record_with_the_id(vft, session):
    write_store(vft, [{"id": 5, "title": "numeric id"}, record(1, title="first"),
                      record(1, title="second")])
    assert ok(session, "get_bookmark", {"id": "bookmark-1-7"})["title"] == "first"
    assert err(session, "get_bookmark", {"id": "5"}) == "Record not found"
    ok(session, "archive_bookmark", {"id": "bookmark-1-7", "expectedVersion": 1})
    records = stored(vft)
    assert [r.get("archived") for r in records] == [None, True, False]


def test_the_largest_version_refuses_the_next_change(vft, session):
    last = 2**64 - 1
    write_store(vft, [record(1, version=last)])
    before = snapshot(vft.store_file("bookmarks"))
    refused = "Record version is at its largest value; this record cannot be changed"
    assert err(session, "archive_bookmark", {"id": "bookmark-1-7", "expectedVersion": last}) == \
        refused
    assert err(session, "save_bookmark", {"id": "bookmark-1-7", "expectedVersion": last,
                                          "title": "T", "url": "https://e.com"}) == refused
    assert snapshot(vft.store_file("bookmarks")) == before
    assert ok(session, "get_bookmark", {"id": "bookmark-1-7"})["version"] == last
