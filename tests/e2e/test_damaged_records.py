"""Stores edited by hand into odd shapes: every tool answers with a result or a message,
never a crash, and a refused change leaves the file as it was."""
import json
import subprocess

import pytest

from conftest import TIMEOUT, TOOLS_DIR

ODD_MEMBERS = {"title": 7, "events": 5, "tags": {}, "evidence": "x", "owner": [], "stage": 9,
               "mileage": "far", "url": 3, "folder": 1, "releaseStage": {}, "fields": [],
               "attempts": {}, "confirmations": 1, "sources": None, "blob": 4, "sha256": [],
               "amountMinor": -5, "currency": 1, "status": {}, "billingKey": 2, "bytes": "x",
               "periodStart": 1, "dueDate": [], "kind": 3, "category": None}


def odd_records():
    # One damaged record per call, so that every call gets past the version check.
    return [1, "x", None, [], {"id": 5}] + [
        dict(ODD_MEMBERS, id=f"a{n}", version=1, archived=n % 2 == 0, createdAt="x")
        for n in range(10)]


REF = {"id": "a", "expectedVersion": 1}
CALLS = {
    "studio": [("list_free_tools", {"query": "a", "includeArchived": True}),
               ("get_free_tool", {"id": "a"}),
               ("update_free_tool", dict(REF, patch={"name": "n"})),
               ("claim_free_tool", dict(REF, owner="o", purpose="p")),
               ("release_free_tool", dict(REF, owner="o")),
               ("record_tool_evidence", dict(REF, toolVersion="1", stage="local", outcome="passed",
                                             evidencePath="/nonexistent/r.json"))],
    "bookmarks": [("search_bookmarks", {"query": "a", "folder": "f"}), ("get_bookmark", {"id": "a"}),
                  ("save_bookmark", dict(REF, title="t", url="https://example.com/")),
                  ("save_bookmark", {"title": "t", "url": "https://example.com/"}),
                  ("archive_bookmark", REF)],
    "inventory": [("search_items", {"query": "a", "category": "c"}), ("get_item", {"id": "a"}),
                  ("save_item", dict(REF, title="t", category="c")),
                  ("record_item_event", dict(REF, kind="service", eventDate="2024-01-01",
                                             note="n", mileage=5)),
                  ("restore_item", REF)],
    "bills": [("search_bills", {"query": "a", "status": "paid", "includeArchived": True}),
              ("get_bill", {"id": "a"}), ("summarize_bills", {"asOf": "2024-01-01"}),
              ("save_bill", dict(REF, title="t", provider="p", periodStart="2024-01-01",
                                 periodEnd="2024-01-31", dueDate="2024-02-10", amountMinor=5,
                                 currency="EUR")),
              ("record_payment_attempt", dict(REF, attemptedOn="2024-01-02", amountMinor=1,
                                              note="n")),
              ("void_confirmation", dict(REF, confirmationId="c", reason="r")),
              ("archive_bill", REF)],
    "wallet": [("search_documents", {"query": "a", "kind": "k", "includeArchived": True}),
               ("get_document", {"id": "a", "includeFields": True}),
               ("update_document", dict(REF, title="t", fields={"note": "x"})),
               ("export_document", {"id": "a", "destinationPath": "/nonexistent/out.pdf"}),
               ("archive_document", REF)],
}


def write_store(vft, app, document):
    folder = vft.folder(app)
    folder.mkdir()
    data = json.dumps(document).encode()
    if app in ("bills", "wallet"):
        if not TOOLS_DIR:
            pytest.skip("prepared protected stores need the helper sealed_store")
        proc = subprocess.run(vft.tool_command("sealed_store") + ["write", app, vft.path(folder)],
                              input=data, capture_output=True, env=vft.env, timeout=TIMEOUT)
        assert proc.returncode == 0, proc.stderr
    else:
        vft.store_file(app).write_bytes(data)


@pytest.mark.parametrize("app", sorted(CALLS))
def test_odd_records_never_crash_a_tool(vft, app):
    write_store(vft, app, {"app": app, "records": odd_records(), "schema": 1, "undo": None})
    session = vft.session(app)
    for n, (tool, args) in enumerate(CALLS[app]):
        if args.get("id") == "a":
            args = dict(args, id=f"a{n}")
        before = vft.store_file(app).read_bytes()
        result = session.call(tool, args, id=n)
        assert result["content"][0]["type"] == "text"
        if result["isError"]:
            assert vft.store_file(app).read_bytes() == before, tool
    out, err, status = session.close()
    assert (out, err, status) == (b"", b"", 0)
