"""The studio: tool registration, bounded metadata patches, one writer per tool, and release
stages that only matching saved receipts advance."""
import hashlib
import json

import pytest

from conftest import WINE, snapshot

PLATFORM = ("Windows x64; local desktop conversations" if WINE
            else "Linux x64; local desktop conversations")
HOST_TESTING = ("Codex and ChatGPT host evidence are recorded separately; protocol and install "
                "receipts do not imply either.")
MISMATCH = "Evidence receipt must match tool_id, tool_version, stage, outcome and observed_at"
NEEDS_HTTPS = "A public success receipt needs the observed HTTPS URL"
NOT_JSON = "Evidence must be a saved JSON receipt"
OTHER_VERSION = "Evidence must identify the current tool version"
NOT_KEBAB = "id must be lowercase kebab-case"
EXISTS = "This tool already exists; update the existing record"
NO_SOURCE = "sourcePath must be an existing source folder"
SOURCE_MISSING = "Source directory missing"
NOT_BOUNDED = "Patch values must be bounded text"
OWNED = "Another writer owns this tool; save a stopped-writer handoff before transfer"
NOT_OWNER = "Only the recorded writer can release this tool"
CONFLICT = "Version conflict: read this record again; current version is "
PRIVATE_STAGES = ["build", "tests", "clean_install"]
PUBLIC_STAGES = ["public_page", "public_download", "showcase"]


# -- helpers ----------------------------------------------------------------------------------
def source(tmp_path, name="src"):
    folder = tmp_path / name
    folder.mkdir(exist_ok=True)
    return folder


def register(vft, tmp_path, id="my-tool", **extra):
    args = {"id": id, "name": "My Tool", "purpose": "Renames photos",
            "sourcePath": vft.path(source(tmp_path))}
    args.update(extra)
    return vft.ok("studio", "register_free_tool", args)


def receipt_file(tmp_path, name, content):
    folder = tmp_path / "receipts"
    folder.mkdir(exist_ok=True)
    path = folder / name
    path.write_bytes(content if isinstance(content, bytes) else json.dumps(content).encode())
    return path


def receipt(stage="build", outcome="passed", tool_id="my-tool", version="0.1.0", **extra):
    body = {"tool_id": tool_id, "tool_version": version, "stage": stage, "outcome": outcome,
            "observed_at": "2025-03-01T10:00:00Z"}
    body.update(extra)
    return body


def evidence_args(vft, path, version, stage="build", outcome="passed", tool_version="0.1.0"):
    return {"id": "my-tool", "expectedVersion": version, "toolVersion": tool_version,
            "stage": stage, "outcome": outcome, "evidencePath": vft.path(path)}


def stored_tool(vft, id="my-tool"):
    return next(r for r in vft.read_store("studio")["records"] if r["id"] == id)


# -- registration -----------------------------------------------------------------------------
def test_register_builds_the_whole_record(vft, tmp_path):
    folder = source(tmp_path)
    record = vft.ok("studio", "register_free_tool", {
        "id": " my-tool ", "name": "  My Tool\t", "purpose": " Renames photos ",
        "sourcePath": " " + vft.path(folder) + " "})
    assert set(record) == {"id", "title", "version", "createdAt", "updatedAt", "archived",
                           "purpose", "sourcePath", "toolVersion", "visibility", "platform",
                           "evidence", "owner"}
    assert record["id"] == "my-tool"
    assert record["title"] == "My Tool"
    assert record["purpose"] == "Renames photos"
    assert record["sourcePath"] == vft.path(folder)
    assert record["toolVersion"] == "0.1.0"
    assert record["visibility"] == "private"
    assert record["platform"] == PLATFORM
    assert record["evidence"] == [] and record["owner"] is None
    assert record["version"] == 1 and record["archived"] is False
    assert record["updatedAt"] - record["createdAt"] in (0, 1)
    assert vft.read_store("studio")["records"] == [record]


def test_register_keeps_tool_version_and_visibility_as_given(vft, tmp_path):
    record = register(vft, tmp_path, toolVersion=" 2.0 beta ", visibility="public")
    assert record["toolVersion"] == " 2.0 beta "
    assert record["visibility"] == "public"
    assert vft.err("studio", "register_free_tool", {
        "id": "other", "name": "n", "purpose": "p", "sourcePath": vft.path(tmp_path),
        "visibility": "secret"}) == "Invalid value for visibility"


@pytest.mark.parametrize("id", ["my-tool-2", "-a-", "a", "0--9", "x" * 64])
def test_register_accepts_kebab_ids(vft, tmp_path, id):
    assert register(vft, tmp_path, id=id)["id"] == id


@pytest.mark.parametrize("id, message", [
    ("My-Tool", NOT_KEBAB),
    ("my tool", NOT_KEBAB),
    ("my_tool", NOT_KEBAB),
    ("caf\u00e9", NOT_KEBAB),
    ("", "id must be 1\u201364 characters without NUL"),
    ("   ", "id must be 1\u201364 characters without NUL"),
    ("x" * 65, "id must be 1\u201364 characters without NUL"),
    ("a\u0000b", "id must be 1\u201364 characters without NUL"),
])
def test_register_refuses_bad_ids(vft, tmp_path, id, message):
    assert vft.err("studio", "register_free_tool", {
        "id": id, "name": "n", "purpose": "p", "sourcePath": vft.path(tmp_path)}) == message
    assert not vft.store_file("studio").exists() or vft.read_store("studio")["records"] == []


def test_register_existing_id_is_refused_before_other_checks(vft, tmp_path):
    register(vft, tmp_path)
    before = vft.store_file("studio").read_bytes()
    assert vft.err("studio", "register_free_tool", {
        "id": "my-tool", "name": "", "purpose": "", "sourcePath": "nowhere"}) == EXISTS
    assert vft.store_file("studio").read_bytes() == before


def test_register_text_bounds_in_order(vft, tmp_path):
    good = {"id": "t", "name": "n", "purpose": "p", "sourcePath": vft.path(tmp_path)}
    cases = [({"name": "x" * 101}, "name must be 1\u2013100 characters without NUL"),
             ({"name": "\u00e9" * 100, "purpose": ""},
              "purpose must be 1\u20132000 characters without NUL"),
             ({"purpose": "p" * 2001}, "purpose must be 1\u20132000 characters without NUL"),
             ({"sourcePath": "/" + "s" * 2048},
              "sourcePath must be 1\u20132048 characters without NUL"),
             ({"name": " ", "sourcePath": "missing"},
              "name must be 1\u2013100 characters without NUL")]
    for change, message in cases:
        assert vft.err("studio", "register_free_tool", {**good, **change}) == message


def test_register_source_must_be_an_existing_folder(vft, tmp_path):
    a_file = tmp_path / "file.txt"
    a_file.write_text("x")
    for path in (vft.path(a_file), vft.path(tmp_path / "missing"), "relative-nowhere"):
        assert vft.err("studio", "register_free_tool", {
            "id": "t", "name": "n", "purpose": "p", "sourcePath": path}) == NO_SOURCE


# -- reading ----------------------------------------------------------------------------------
def test_get_fresh_private_tool_reports_three_unverified_stages(vft, tmp_path):
    record = register(vft, tmp_path)
    got = vft.ok("studio", "get_free_tool", {"id": "my-tool"})
    status = got.pop("releaseStatus")
    assert got == record
    assert status == {"complete": False, "hostTesting": HOST_TESTING,
                      "requiredStages": {s: "unverified" for s in PRIVATE_STAGES}}
    assert "releaseStatus" not in stored_tool(vft)
    assert vft.err("studio", "get_free_tool", {"id": "other"}) == "Record not found"


def test_list_attaches_release_status_and_searches(vft, tmp_path):
    register(vft, tmp_path, id="alpha")
    register(vft, tmp_path, id="beta", visibility="public")
    listed = vft.ok("studio", "list_free_tools", {})
    assert listed["total"] == 2 and listed["limit"] == 30
    assert [r["id"] for r in listed["records"]] == ["beta", "alpha"]
    assert len(listed["records"][0]["releaseStatus"]["requiredStages"]) == 6
    assert len(listed["records"][1]["releaseStatus"]["requiredStages"]) == 3
    # The status is added after matching: its words do not make a record match.
    assert vft.ok("studio", "list_free_tools", {"query": "unverified"})["total"] == 0
    found = vft.ok("studio", "list_free_tools", {"query": "ALPHA", "limit": 0})
    assert found["total"] == 1 and found["limit"] == 1
    assert found["records"][0]["releaseStatus"]["complete"] is False


# -- metadata patches -------------------------------------------------------------------------
def test_patch_sets_values_as_given_and_touches(vft, tmp_path):
    register(vft, tmp_path)
    other = source(tmp_path, "other src")
    patch = {"pageUrl": " https://example.com/t ", "category": "", "limitations": "\u00e9" * 2500,
             "sourcePath": vft.path(other), "visibility": "public", "platform": "anything"}
    record = vft.ok("studio", "update_free_tool",
                    {"id": "my-tool", "expectedVersion": 1, "patch": patch})
    for name, value in patch.items():
        assert record[name] == value
    assert record["version"] == 2
    assert stored_tool(vft) == record
    empty = vft.ok("studio", "update_free_tool",
                   {"id": "my-tool", "expectedVersion": 2, "patch": {}})
    assert empty["version"] == 3


@pytest.mark.parametrize("patch, message", [
    ({"title": "New"}, "Cannot patch title"),
    ({"evidence": "[]"}, "Cannot patch evidence"),
    ({"owner": "me"}, "Cannot patch owner"),
    ({"category": 5}, NOT_BOUNDED),
    ({"category": None}, NOT_BOUNDED),
    ({"notes": "x"}, "Cannot patch notes"),
    ({"limitations": "\u00e9" * 2500 + "a"}, NOT_BOUNDED),
    ({"visibility": "secret"}, "visibility must be private or public"),
    ({"visibility": "Public"}, "visibility must be private or public"),
    ({"category": "tools", "zzz": "x"}, "Cannot patch zzz"),
    ({"aaa": 1, "visibility": "secret"}, "Cannot patch aaa"),
    ({"category": "tools", "visibility": "x", "version": "9"}, "Cannot patch version"),
])
def test_patch_with_one_bad_member_changes_nothing(vft, tmp_path, patch, message):
    register(vft, tmp_path)
    before = vft.store_file("studio").read_bytes()
    assert vft.err("studio", "update_free_tool",
                   {"id": "my-tool", "expectedVersion": 1, "patch": patch}) == message
    assert vft.store_file("studio").read_bytes() == before


def test_patch_source_must_be_an_existing_folder(vft, tmp_path):
    register(vft, tmp_path)
    a_file = tmp_path / "file.txt"
    a_file.write_text("x")
    for path in (vft.path(a_file), vft.path(tmp_path / "gone"), ""):
        assert vft.err("studio", "update_free_tool", {
            "id": "my-tool", "expectedVersion": 1,
            "patch": {"sourcePath": path}}) == SOURCE_MISSING
    # A NUL would cut the checked path short of the stored one.
    assert vft.err("studio", "update_free_tool", {
        "id": "my-tool", "expectedVersion": 1,
        "patch": {"sourcePath": vft.path(tmp_path) + "\u0000/gone"}}) == SOURCE_MISSING


def test_patch_needs_current_version(vft, tmp_path):
    register(vft, tmp_path)
    assert vft.err("studio", "update_free_tool", {
        "id": "my-tool", "expectedVersion": 2, "patch": {"title": "x"}}) == CONFLICT + "1"
    assert vft.err("studio", "update_free_tool", {
        "id": "nope", "expectedVersion": 1, "patch": {}}) == "Record not found"


# -- ownership --------------------------------------------------------------------------------
def test_one_writer_at_a_time(vft, tmp_path):
    register(vft, tmp_path)
    s = vft.session("studio")
    try:
        def call(tool, args):
            return s.call(tool, args)

        held = call("claim_free_tool", {"id": "my-tool", "owner": " writer-a ",
                                        "purpose": " fix tests ", "expectedVersion": 1})
        assert held["isError"] is False
        owner = held["structuredContent"]["owner"]
        assert set(owner) == {"id", "purpose", "claimedAt"}
        assert owner["id"] == "writer-a" and owner["purpose"] == "fix tests"
        assert isinstance(owner["claimedAt"], int)
        refused = call("claim_free_tool", {"id": "my-tool", "owner": "writer-b",
                                           "purpose": "", "expectedVersion": 2})
        assert refused == {"content": [{"type": "text", "text": OWNED}], "isError": True}
        for who in ("writer-b", " writer-a ", "Writer-A"):
            refused = call("release_free_tool",
                           {"id": "my-tool", "owner": who, "expectedVersion": 2})
            assert refused["content"][0]["text"] == NOT_OWNER
        again = call("claim_free_tool", {"id": "my-tool", "owner": "writer-a",
                                         "purpose": "release", "expectedVersion": 2})
        assert again["structuredContent"]["owner"]["purpose"] == "release"
        assert again["structuredContent"]["version"] == 3
        stale = call("release_free_tool", {"id": "my-tool", "owner": "writer-a",
                                           "expectedVersion": 2})
        assert stale["content"][0]["text"] == CONFLICT + "3"
        freed = call("release_free_tool", {"id": "my-tool", "owner": "writer-a",
                                           "expectedVersion": 3})
        assert freed["structuredContent"]["owner"] is None
        assert freed["structuredContent"]["version"] == 4
        nobody = call("release_free_tool", {"id": "my-tool", "owner": "writer-a",
                                            "expectedVersion": 4})
        assert nobody["content"][0]["text"] == NOT_OWNER
        taken = call("claim_free_tool", {"id": "my-tool", "owner": "writer-b",
                                         "purpose": "next", "expectedVersion": 4})
        assert taken["structuredContent"]["owner"]["id"] == "writer-b"
    finally:
        s.close()
    assert stored_tool(vft)["owner"]["id"] == "writer-b"


def test_claim_checks_in_order(vft, tmp_path):
    register(vft, tmp_path)
    claim = {"id": "my-tool", "owner": "a", "purpose": "p", "expectedVersion": 1}
    assert vft.err("studio", "claim_free_tool", {**claim, "expectedVersion": 0}) == CONFLICT + "1"
    assert vft.err("studio", "claim_free_tool", {**claim, "owner": " ", "purpose": ""}) == \
        "owner must be 1\u2013200 characters without NUL"
    assert vft.err("studio", "claim_free_tool", {**claim, "owner": "o" * 201}) == \
        "owner must be 1\u2013200 characters without NUL"
    assert vft.err("studio", "claim_free_tool", {**claim, "purpose": "p" * 1001}) == \
        "purpose must be 1\u20131000 characters without NUL"
    assert vft.read_store("studio")["records"][0]["version"] == 1


def test_metadata_and_evidence_ignore_the_owner(vft, tmp_path):
    register(vft, tmp_path)
    vft.ok("studio", "claim_free_tool",
           {"id": "my-tool", "owner": "a", "purpose": "p", "expectedVersion": 1})
    assert vft.ok("studio", "update_free_tool", {
        "id": "my-tool", "expectedVersion": 2, "patch": {"category": "x"}})["version"] == 3
    path = receipt_file(tmp_path, "b.json", receipt())
    assert vft.ok("studio", "record_tool_evidence", evidence_args(vft, path, 3))["version"] == 4


# -- evidence ---------------------------------------------------------------------------------
def test_evidence_entry_is_the_receipt_with_path_fingerprint_and_time(vft, tmp_path):
    register(vft, tmp_path)
    body = receipt(extra={"log": [1, 2.5, None]}, receiptPath="forged", receiptSha256="0" * 64,
                   recordedAt=1, url="http://not-needed.example")
    path = receipt_file(tmp_path, "build.json", body)
    given = "  " + vft.path(path) + "\t"
    result = vft.ok("studio", "record_tool_evidence",
                    {**evidence_args(vft, path, 1), "evidencePath": given})
    entry = result["evidence"][0]
    assert entry["receiptPath"] == vft.path(path)
    assert entry["receiptSha256"] == hashlib.sha256(path.read_bytes()).hexdigest()
    assert isinstance(entry["recordedAt"], int) and entry["recordedAt"] > 1
    assert {k: entry[k] for k in body if k not in ("receiptPath", "receiptSha256",
                                                   "recordedAt")} == \
        {k: v for k, v in body.items() if k not in ("receiptPath", "receiptSha256", "recordedAt")}
    assert result["version"] == 2
    assert result["releaseStatus"]["requiredStages"]["build"] == "passed"
    stored = stored_tool(vft)
    assert "releaseStatus" not in stored
    assert stored["evidence"] == result["evidence"]


@pytest.mark.parametrize("change", [
    {"tool_id": "other-tool"}, {"tool_version": "0.2.0"}, {"stage": "tests"},
    {"outcome": "failed"}, {"outcome": "unverified"}, {"observed_at": 1740823200},
    {"observed_at": None}, {"tool_version": 0.1}, {"stage": ["build"]},
])
def test_receipts_that_do_not_match_are_refused(vft, tmp_path, change):
    register(vft, tmp_path)
    path = receipt_file(tmp_path, "r.json", {**receipt(), **change})
    before = vft.store_file("studio").read_bytes()
    assert vft.err("studio", "record_tool_evidence", evidence_args(vft, path, 1)) == MISMATCH
    assert vft.store_file("studio").read_bytes() == before


@pytest.mark.parametrize("missing", ["tool_id", "tool_version", "stage", "outcome",
                                     "observed_at"])
def test_receipt_lacking_a_member_is_refused(vft, tmp_path, missing):
    register(vft, tmp_path)
    body = receipt()
    del body[missing]
    path = receipt_file(tmp_path, "r.json", body)
    assert vft.err("studio", "record_tool_evidence", evidence_args(vft, path, 1)) == MISMATCH


def test_receipt_that_is_json_but_no_object_is_refused(vft, tmp_path):
    register(vft, tmp_path)
    for i, body in enumerate([[receipt()], "build", 7, None]):
        path = receipt_file(tmp_path, f"r{i}.json", body)
        assert vft.err("studio", "record_tool_evidence", evidence_args(vft, path, 1)) == MISMATCH


@pytest.mark.parametrize("content", [
    b"", b"not json", b'{"tool_id": "my-tool",', b"\xef\xbb", b'{"a": "\xff"}',
    b"{} {}", b"[" * 200 + b"]" * 200,
])
def test_file_that_is_not_json_is_refused(vft, tmp_path, content):
    register(vft, tmp_path)
    path = receipt_file(tmp_path, "r.json", content)
    assert vft.err("studio", "record_tool_evidence", evidence_args(vft, path, 1)) == NOT_JSON


@pytest.mark.parametrize("stage", PUBLIC_STAGES)
def test_public_success_needs_an_https_url(vft, tmp_path, stage):
    register(vft, tmp_path, visibility="public")
    version = 1
    for i, url in enumerate([None, "http://example.com/tool", "HTTPS://example.com", 42,
                             "ftp://example.com", " https://example.com"]):
        body = receipt(stage) if url is None else receipt(stage, url=url)
        path = receipt_file(tmp_path, f"r{i}.json", body)
        assert vft.err("studio", "record_tool_evidence",
                       evidence_args(vft, path, version, stage)) == NEEDS_HTTPS
    path = receipt_file(tmp_path, "failed.json", receipt(stage, "failed"))
    assert vft.ok("studio", "record_tool_evidence",
                  evidence_args(vft, path, 1, stage, "failed"))["version"] == 2
    path = receipt_file(tmp_path, "ok.json", receipt(stage, url="https://example.com/t"))
    done = vft.ok("studio", "record_tool_evidence", evidence_args(vft, path, 2, stage))
    assert done["releaseStatus"]["requiredStages"][stage] == "passed"


def test_tool_version_is_checked_before_the_file_is_opened(vft, tmp_path):
    register(vft, tmp_path)
    for path in ("relative.json", vft.path(tmp_path / "missing.json")):
        assert vft.err("studio", "record_tool_evidence", {
            **evidence_args(vft, tmp_path, 1, tool_version="0.2.0"),
            "evidencePath": path}) == OTHER_VERSION
    assert vft.err("studio", "record_tool_evidence", {
        **evidence_args(vft, tmp_path, 1), "evidencePath": " \t "}) == \
        "evidencePath must be 1\u20132048 characters without NUL"
    assert vft.err("studio", "record_tool_evidence",
                   evidence_args(vft, tmp_path, 7)) == CONFLICT + "1"


def test_public_release_progresses_only_on_current_version_receipts(vft, tmp_path):
    register(vft, tmp_path, visibility="public", toolVersion="1.0.0")
    receipts = []
    s = vft.session("studio")
    try:
        version = 1

        def record(stage, outcome="passed", **extra):
            nonlocal version
            path = receipt_file(tmp_path, f"{stage}-{version}.json",
                                receipt(stage, outcome, version="1.0.0", **extra))
            receipts.append((path, snapshot(path)))
            result = s.call("record_tool_evidence", {
                **evidence_args(vft, path, version, stage, outcome, "1.0.0")})
            assert result["isError"] is False, result
            version += 1
            return result["structuredContent"]["releaseStatus"]

        for stage in PRIVATE_STAGES:
            status = record(stage)
        assert status["complete"] is False
        for stage in ("codex_host", "chatgpt_host", "directory_listing"):
            assert record(stage) == status
        assert record("public_page", url="https://example.com/page")["complete"] is False
        assert record("public_download", url="https://example.com/dl")["complete"] is False
        assert record("showcase", "failed")["requiredStages"]["showcase"] == "failed"
        status = record("showcase", url="https://example.com/show")
        assert status["complete"] is True
        assert record("tests", "failed")["complete"] is False
        assert record("tests")["complete"] is True

        listed = s.call("list_free_tools", {})["structuredContent"]
        assert listed["records"][0]["releaseStatus"]["complete"] is True
        bumped = s.call("update_free_tool", {"id": "my-tool", "expectedVersion": version,
                                             "patch": {"toolVersion": "1.0.1"}})
        status = bumped["structuredContent"]
        assert "releaseStatus" not in status
        got = s.call("get_free_tool", {"id": "my-tool"})["structuredContent"]
        assert got["releaseStatus"]["complete"] is False
        assert set(got["releaseStatus"]["requiredStages"].values()) == {"unverified"}
        assert len(got["evidence"]) == version - 1
    finally:
        s.close()
    for path, before in receipts:
        assert snapshot(path) == before


def test_five_hundred_first_entry_drops_the_oldest(vft, tmp_path):
    record = register(vft, tmp_path)
    record["evidence"] = [dict(receipt(), n=i) for i in range(500)]
    document = vft.read_store("studio")
    document["records"] = [record]
    vft.store_file("studio").write_text(json.dumps(document), encoding="utf-8")
    path = receipt_file(tmp_path, "new.json", receipt(n=500))
    result = vft.ok("studio", "record_tool_evidence", evidence_args(vft, path, 1))
    assert len(result["evidence"]) == 500
    assert [e["n"] for e in result["evidence"][:2]] == [1, 2]
    assert result["evidence"][-1]["n"] == 500
    assert len(stored_tool(vft)["evidence"]) == 500


def nested_list(levels):
    value = "leaf"
    for _ in range(levels):
        value = [value]
    return value


def test_a_receipt_too_deep_to_store_is_refused_and_the_store_stays_loadable(vft, tmp_path):
    register(vft, tmp_path)
    # Stored as records[i].evidence[j]: the store, records, the tool, evidence and the receipt
    # object take five levels, so a member may nest 123 more.
    deepest = receipt_file(tmp_path, "deep.json", receipt(log=nested_list(123)))
    assert vft.ok("studio", "record_tool_evidence", evidence_args(vft, deepest, 1))["version"] == 2
    assert stored_tool(vft)["evidence"][0]["log"] == nested_list(123)

    before = snapshot(vft.store_file("studio"))
    too_deep = receipt_file(tmp_path, "deeper.json", receipt(log=nested_list(124)))
    assert vft.err("studio", "record_tool_evidence", evidence_args(vft, too_deep, 2)) == \
        "Evidence receipt nests deeper than 124 levels"
    assert snapshot(vft.store_file("studio")) == before
    assert vft.ok("studio", "get_free_tool", {"id": "my-tool"})["version"] == 2


def test_deep_values_in_other_stored_arguments_are_refused_by_their_rules(vft, tmp_path):
    register(vft, tmp_path)
    before = snapshot(vft.store_file("studio"))
    patch = {"id": "my-tool", "expectedVersion": 1, "patch": {"purpose": nested_list(125)}}
    assert vft.err("studio", "update_free_tool", patch) == NOT_BOUNDED
    assert snapshot(vft.store_file("studio")) == before
    tags = {"title": "T", "url": "https://e.com", "tags": [nested_list(125)]}
    assert vft.err("bookmarks", "save_bookmark", tags) == "At most 20 short text tags"
    assert not vft.store_file("bookmarks").exists()
