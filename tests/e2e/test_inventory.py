"""The inventory: items with optional details, dated events, the current mileage taken from
the latest-dated reading, and the item and event limits."""
import json

import pytest

CONFLICT = "Version conflict: read this record again; current version is "
BAD_MILEAGE = "mileage must be a reasonable nonnegative number"
BAD_COST = "cost must be a reasonable nonnegative number"
EVENT_LIMIT = "Event limit reached (200); keep a separate service archive"
ITEM_LIMIT = "Item limit reached (3000)"
DETAILS = ["model", "serialNumber", "location", "notes", "receiptPath", "purchaseDate",
           "warrantyUntil"]


def create(vft, title="Car", category="vehicle", **extra):
    return vft.ok("inventory", "save_item", {"title": title, "category": category, **extra})


def event(vft, item, date, note="Oil change", kind="service", **extra):
    return vft.ok("inventory", "record_item_event", {
        "id": item["id"], "expectedVersion": item["version"], "kind": kind, "eventDate": date,
        "note": note, **extra})


def event_error(vft, item, **args):
    full = {"id": item["id"], "expectedVersion": item["version"], "kind": "service",
            "eventDate": "2024-01-01", "note": "n", **args}
    return vft.err("inventory", "record_item_event", full)


def write_store(vft, records):
    vft.folder("inventory").mkdir(exist_ok=True)
    document = {"app": "inventory", "records": records, "schema": 1, "undo": None}
    vft.store_file("inventory").write_text(json.dumps(document), encoding="utf-8")


def prepared_item(n, events=(), archived=False):
    return {"id": f"item-{n}-1", "title": f"Thing {n}", "category": "misc", "version": 1,
            "createdAt": 1700000000, "updatedAt": 1700000000, "archived": archived,
            "events": list(events)}


# -- items ------------------------------------------------------------------------------------
def test_create_trims_required_text_and_keeps_details_as_given(vft):
    details = {"model": "  Golf  ", "serialNumber": "", "location": "garage\n",
               "notes": "\u00e9" * 2000, "receiptPath": "not/checked/at/all.pdf",
               "purchaseDate": "", "warrantyUntil": "2027-02-28"}
    item = create(vft, title=" Car\u3000", category="\tvehicle ", **details)
    assert item["id"].startswith("item-") and len(item["id"].split("-")) == 3
    assert item["title"] == "Car" and item["category"] == "vehicle"
    for name, value in details.items():
        assert item[name] == value
    assert item["events"] == [] and item["version"] == 1 and item["archived"] is False
    assert "currentMileage" not in item and "mileageAsOf" not in item
    assert vft.read_store("inventory")["records"] == [item]


@pytest.mark.parametrize("args, message", [
    ({"title": " "}, "title must be 1\u2013160 characters without NUL"),
    ({"title": "t" * 161, "category": ""}, "title must be 1\u2013160 characters without NUL"),
    ({"title": "a\u0000"}, "title must be 1\u2013160 characters without NUL"),
    ({"category": "c" * 101}, "category must be 1\u2013100 characters without NUL"),
    ({"model": "m" * 4001}, "model is too long"),
    ({"notes": "\u00e9" * 2000 + "x"}, "notes is too long"),
    ({"model": "m" * 4001, "notes": "n" * 4001}, "model is too long"),
    ({"purchaseDate": "2024-2-29"}, "Dates must use YYYY-MM-DD"),
    ({"purchaseDate": "2023-02-29"}, "Invalid calendar date"),
    ({"warrantyUntil": " 2024-01-01"}, "Dates must use YYYY-MM-DD"),
    ({"warrantyUntil": "1899-12-31"}, "Invalid calendar date"),
    ({"warrantyUntil": "2024-+1-01"}, "Invalid calendar date"),
    ({"purchaseDate": "2024-13-01", "serialNumber": "s" * 4001}, "serialNumber is too long"),
    ({"id": "item-nope"}, "Record not found"),
])
def test_save_refusals(vft, args, message):
    assert vft.err("inventory", "save_item", {"title": "Car", "category": "vehicle",
                                               **args}) == message
    assert not vft.store_file("inventory").exists()


def test_title_and_category_bounds_count_characters(vft):
    item = create(vft, title="\u20ac" * 160, category="\U0001F697" * 100)
    assert len(item["title"]) == 160


def test_correction_keeps_events_and_mileage(vft):
    item = create(vft, model="Golf", notes="first")
    item = event(vft, item, "2024-05-01", mileage=50000)
    before = vft.store_file("inventory").read_bytes()
    assert vft.err("inventory", "save_item", {"id": item["id"], "title": "Car",
                                               "category": "vehicle"}) == CONFLICT + "2"
    assert vft.err("inventory", "save_item", {"id": item["id"], "expectedVersion": 1,
                                               "title": "Car", "category": "x"}) == CONFLICT + "2"
    assert vft.store_file("inventory").read_bytes() == before
    fixed = vft.ok("inventory", "save_item", {
        "id": item["id"], "expectedVersion": 2, "title": "My car", "category": "cars",
        "notes": ""})
    assert fixed["version"] == 3 and fixed["title"] == "My car" and fixed["category"] == "cars"
    assert fixed["model"] == "Golf" and fixed["notes"] == ""
    assert fixed["events"] == item["events"]
    assert fixed["currentMileage"] == 50000 and fixed["mileageAsOf"] == "2024-05-01"
    assert fixed["createdAt"] == item["createdAt"] and fixed["id"] == item["id"]
    assert vft.read_store("inventory")["records"] == [fixed]


# -- events and mileage -----------------------------------------------------------------------
def test_latest_dated_mileage_is_current_whatever_the_order_of_entry(vft):
    s = vft.session("inventory")
    try:
        def add(item, date, **extra):
            result = s.call("record_item_event", {
                "id": item["id"], "expectedVersion": item["version"], "kind": "service",
                "eventDate": date, "note": f"reading {date}", **extra})
            assert result["isError"] is False, result
            return result["structuredContent"]

        item = s.call("save_item", {"title": "Car", "category": "vehicle"})["structuredContent"]
        item = add(item, "2024-05-01", mileage=50000)
        assert (item["currentMileage"], item["mileageAsOf"]) == (50000, "2024-05-01")
        item = add(item, "2023-01-01", mileage=30000)   # a late-entered old record
        assert (item["currentMileage"], item["mileageAsOf"]) == (50000, "2024-05-01")
        item = add(item, "2025-01-01", cost=120.5)      # no mileage: no change
        assert (item["currentMileage"], item["mileageAsOf"]) == (50000, "2024-05-01")
        item = add(item, "2024-05-01", mileage=49999.5)  # same date, added later
        assert (item["currentMileage"], item["mileageAsOf"]) == (49999.5, "2024-05-01")
        item = add(item, "2024-12-31", mileage=0)
        assert (item["currentMileage"], item["mileageAsOf"]) == (0, "2024-12-31")
        assert [e["eventDate"] for e in item["events"]] == \
            ["2024-05-01", "2023-01-01", "2025-01-01", "2024-05-01", "2024-12-31"]
        assert item["version"] == 6
        got = s.call("get_item", {"id": item["id"]})["structuredContent"]
        assert got == item
    finally:
        s.close()
    stored = vft.read_store("inventory")["records"][0]
    assert isinstance(stored["currentMileage"], int)
    assert stored["events"][3]["mileage"] == 49999.5


def test_event_members(vft):
    item = create(vft)
    item = event(vft, item, " 2024-02-29 ", note="  Tyres  ", kind=" swap ", mileage=100000000,
                 cost=0.0)
    added = item["events"][0]
    assert set(added) == {"id", "kind", "eventDate", "note", "recordedAt", "mileage", "cost"}
    assert added["id"].startswith("event-") and len(added["id"].split("-")) == 3
    assert (added["kind"], added["eventDate"], added["note"]) == ("swap", "2024-02-29", "Tyres")
    assert isinstance(added["recordedAt"], int)
    assert added["mileage"] == 100000000 and added["cost"] == 0.0
    assert '"cost": 0.0' in vft.store_file("inventory").read_text(encoding="utf-8")


@pytest.mark.parametrize("args, message", [
    ({"mileage": 100000000.5}, BAD_MILEAGE),
    ({"mileage": 100000001}, BAD_MILEAGE),
    ({"mileage": -1}, BAD_MILEAGE),
    ({"mileage": -0.001}, BAD_MILEAGE),
    ({"mileage": 1e300}, BAD_MILEAGE),
    ({"cost": -5}, BAD_COST),
    ({"mileage": -1, "cost": -1}, BAD_MILEAGE),
    ({"mileage": "5"}, "Invalid type for mileage"),
    ({"eventDate": "2024-05-01x"}, "eventDate must be 1\u201310 characters without NUL"),
    ({"eventDate": " "}, "eventDate must be 1\u201310 characters without NUL"),
    ({"eventDate": "2024/05/01"}, "Dates must use YYYY-MM-DD"),
    ({"eventDate": "2023-02-29", "note": ""}, "Invalid calendar date"),
    ({"note": " ", "kind": ""}, "note must be 1\u20134000 characters without NUL"),
    ({"note": "n" * 4001}, "note must be 1\u20134000 characters without NUL"),
    ({"kind": "k" * 81}, "kind must be 1\u201380 characters without NUL"),
    ({"expectedVersion": 2, "eventDate": "bad"}, CONFLICT + "1"),
    ({"id": "item-0-0", "eventDate": "bad"}, "Record not found"),
])
def test_event_refusals_change_nothing(vft, args, message):
    item = create(vft)
    before = vft.store_file("inventory").read_bytes()
    assert event_error(vft, item, **args) == message
    assert vft.store_file("inventory").read_bytes() == before


def test_archived_items_accept_events_and_stay_hidden(vft):
    item = create(vft)
    archived = vft.ok("inventory", "archive_item", {"id": item["id"], "expectedVersion": 1})
    assert archived == {"archived": True, "id": item["id"], "version": 2}
    item = event(vft, {**item, "version": 2}, "2024-01-01", mileage=10)
    assert item["archived"] is True and item["currentMileage"] == 10
    assert vft.ok("inventory", "search_items", {})["total"] == 0
    assert vft.ok("inventory", "search_items", {"includeArchived": True})["total"] == 1
    assert vft.err("inventory", "restore_item",
                   {"id": item["id"], "expectedVersion": 2}) == CONFLICT + "3"
    restored = vft.ok("inventory", "restore_item", {"id": item["id"], "expectedVersion": 3})
    assert restored == {"archived": False, "id": item["id"], "version": 4}
    assert vft.ok("inventory", "search_items", {})["total"] == 1


# -- search -----------------------------------------------------------------------------------
def test_search_leaves_out_events_and_filters_by_category(vft):
    car = create(vft, title="Car", category="vehicle")
    event(vft, car, "2024-01-01", note="zebra stripes", mileage=7)
    create(vft, title="Bike", category="Vehicle")
    create(vft, title="Kettle", category="kitchen")
    found = vft.ok("inventory", "search_items", {})
    assert found["total"] == 3 and [r["title"] for r in found["records"]] == \
        ["Kettle", "Bike", "Car"]
    assert all("events" not in r for r in found["records"])
    assert found["records"][2]["currentMileage"] == 7
    assert vft.ok("inventory", "search_items", {"query": "zebra"})["total"] == 0
    assert vft.ok("inventory", "search_items", {"query": "event"})["total"] == 0
    assert vft.ok("inventory", "search_items", {"query": "MILEAGEASOF"})["total"] == 1
    by_category = vft.ok("inventory", "search_items", {"category": "vehicle"})
    assert [r["title"] for r in by_category["records"]] == ["Car"]
    assert vft.ok("inventory", "get_item", {"id": car["id"]})["events"][0]["note"] == \
        "zebra stripes"


# -- limits -----------------------------------------------------------------------------------
def test_two_hundred_first_event_is_refused_but_corrections_work(vft):
    events = [{"id": f"event-{i}-1", "kind": "k", "eventDate": "2020-01-01", "note": "n",
               "recordedAt": 1700000000, "mileage": i} for i in range(199)]
    write_store(vft, [prepared_item(1, events)])
    item = vft.ok("inventory", "get_item", {"id": "item-1-1"})
    item = event(vft, item, "2019-01-01", mileage=1)
    assert len(item["events"]) == 200 and item["currentMileage"] == 198
    assert event_error(vft, item) == EVENT_LIMIT
    fixed = vft.ok("inventory", "save_item", {"id": item["id"], "expectedVersion": 2,
                                              "title": "Still here", "category": "misc"})
    assert len(fixed["events"]) == 200 and fixed["version"] == 3


def test_three_thousandth_item_is_the_last(vft):
    records = [prepared_item(n, archived=n % 2 == 0) for n in range(2999)]
    write_store(vft, records)
    last = create(vft, title="Last one")
    assert vft.ok("inventory", "get_storage_info")["recordCount"] == 3000
    before = vft.store_file("inventory").read_bytes()
    assert vft.err("inventory", "save_item", {"title": "One more", "category": "c"}) == ITEM_LIMIT
    assert vft.store_file("inventory").read_bytes() == before
    fixed = vft.ok("inventory", "save_item", {"id": "item-0-1", "expectedVersion": 1,
                                              "title": "Archived, corrected", "category": "c"})
    assert fixed["archived"] is True and fixed["version"] == 2
    assert event(vft, last, "2024-01-01")["version"] == 2
