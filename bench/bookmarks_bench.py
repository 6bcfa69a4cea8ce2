#!/usr/bin/env python3
"""save_bookmark and search_bookmarks latency on a store of 5000 bookmarks.

Usage: bookmarks_bench.py PROGRAM [ROUNDS]

Writes a store of 4900 bookmarks (records.json in the store's own format) into a temporary
data home, then times, over one session: 100 creations that fill it to the 5000 limit,
ROUNDS corrections at 5000 records, and ROUNDS searches of several kinds. A PROGRAM ending
in .exe is run under wine64.
"""
import json
import os
import sys
import tempfile

from benchlib import Session, report

PREFILL = 4900
LIMIT = 5000
FOLDERS = ["Work", "Reading", "Recipes", "Travel", "Tools", "News", "Music", "Home"]
WORDS = ["alpha", "beta", "gamma", "delta", "river", "stone", "cloud", "lamp", "paper",
         "garden", "window", "orbit", "pepper", "violin", "harbor", "maple"]


def bookmark(n):
    words = [WORDS[(n * k + 3) % len(WORDS)] for k in range(1, 5)]
    return {
        "archived": n % 10 == 0,
        "createdAt": 1_700_000_000 + n,
        "folder": FOLDERS[n % len(FOLDERS)],
        "id": f"bookmark-{1_700_000_000_000_000_000 + n}-4242",
        "note": " ".join(words * 10),
        "tags": words[:3],
        "title": f"{words[0].title()} {words[1]} page {n}",
        "updatedAt": 1_700_000_000 + n,
        "url": f"https://{words[2]}{n}.example/{words[3]}/{n}?ref=bench",
        "version": 1,
    }


def main():
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    program = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    with tempfile.TemporaryDirectory() as home:
        folder = os.path.join(home, "bookmarks")
        os.mkdir(folder)
        document = {"app": "bookmarks", "records": [bookmark(n) for n in range(PREFILL)],
                    "schema": 1, "undo": None}
        store = os.path.join(folder, "records.json")
        with open(store, "w", encoding="utf-8") as f:
            json.dump(document, f, indent=2)
        env = dict(os.environ, VEYMORA_DATA_HOME=home)
        env.pop("LOCALAPPDATA", None)
        print(f"store: {PREFILL} bookmarks, {os.path.getsize(store) / 1048576:.1f} MiB")

        session = Session(program, "bookmarks", env)
        created = []
        for n in range(LIMIT - PREFILL):
            elapsed, record = session.call("save_bookmark", {
                "title": f"New page {n}", "url": f"https://new{n}.example/path",
                "folder": "Work", "tags": ["new", "bench"], "note": "created by the bench"})
            created.append((elapsed, record))
        report(f"save_bookmark create ({PREFILL}->{LIMIT} records)", [e for e, _ in created])

        versions = {record["id"]: record["version"] for _, record in created}
        ids = list(versions)
        corrections = []
        for n in range(rounds):
            rid = ids[n % len(ids)]
            elapsed, record = session.call("save_bookmark", {
                "id": rid, "expectedVersion": versions[rid], "title": f"Corrected {n}",
                "url": f"https://corrected{n}.example/"})
            versions[rid] = record["version"]
            corrections.append(elapsed)
        report(f"save_bookmark correct ({LIMIT} records)", corrections)

        searches = [
            ("search_bookmarks no query (limit 30)", {}),
            ("search_bookmarks no query, limit 100", {"limit": 100, "includeArchived": True}),
            ("search_bookmarks query matching most", {"query": "PAGE"}),
            ("search_bookmarks query matching none", {"query": "no such words"}),
            ("search_bookmarks folder filter", {"folder": "Recipes"}),
            ("search_bookmarks query + folder", {"query": "river", "folder": "Travel"}),
        ]
        for name, args in searches:
            times = []
            total = 0
            for _ in range(rounds):
                elapsed, result = session.call("search_bookmarks", args)
                times.append(elapsed)
                total = result["total"]
            report(f"{name} [{total} hits]", times)
        session.close()


if __name__ == "__main__":
    main()
