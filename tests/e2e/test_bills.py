"""The bills app: billing-period identity, evidence files, attempts, confirmations and voids
with the derived payment state, the stored-status search, per-currency summaries, limits, and
a store that never lies on the disk as plain text."""
import hashlib
import json
import os
import subprocess

import pytest

from conftest import TIMEOUT, TOOLS_DIR, WINE, snapshot

DUPLICATE_NOTE = ("This billing period already exists, including archived records. Read and "
                  "correct or restore it explicitly; no payment state was changed.")
SELECT_EVIDENCE = "Select a PDF, PNG, JPEG or text evidence file"
MEANING = "User-selected evidence; contents are not automatically verified"
BASIS = "Saved records only; no provider balance check or payment is performed"
UNITS = "amountMinor must be integer minor currency units between 0 and 1000000000000"
ALREADY_CONFIRMED = ("This confirmation or evidence is already recorded; inspect the existing "
                     "payment")
CONFLICT = "Version conflict: read this record again; current version is "

needs_sealed_store = pytest.mark.skipif(
    not TOOLS_DIR, reason="prepared stores need the helper sealed_store")


# -- helpers ----------------------------------------------------------------------------------
class Bills:
    """One bills session: every call goes through the same running program."""

    def __init__(self, vft):
        self.vft = vft
        self.session = vft.session("bills")

    def call(self, tool, args):
        return self.session.call(tool, args)

    def ok(self, tool, args):
        result = self.call(tool, args)
        assert result["isError"] is False, result["content"][0]["text"]
        return result["structuredContent"]

    def err(self, tool, args):
        result = self.call(tool, args)
        assert result["isError"] is True, result
        return result["content"][0]["text"]

    def get(self, bill_id):
        return self.ok("get_bill", {"id": bill_id})

    def count(self):
        return self.ok("get_storage_info", {})["recordCount"]

    def save(self, **over):
        return self.ok("save_bill", bill_args(**over))["bill"]

    def attempt(self, bill, amount=1000, **over):
        args = dict({"id": bill["id"], "expectedVersion": bill["version"],
                     "attemptedOn": "2024-02-01", "amountMinor": amount, "note": "Tried"}, **over)
        return self.ok("record_payment_attempt", args)

    def confirm_args(self, bill, amount, evidence, reference):
        return {"id": bill["id"], "expectedVersion": bill["version"], "confirmedOn": "2024-02-03",
                "amountMinor": amount, "confirmationReference": reference,
                "evidencePath": self.vft.path(evidence)}

    def confirm(self, bill, amount, evidence, reference):
        return self.ok("confirm_payment", self.confirm_args(bill, amount, evidence, reference))

    def void(self, bill, confirmation_id, reason="Entered twice"):
        return self.ok("void_confirmation", {"id": bill["id"], "expectedVersion": bill["version"],
                                             "confirmationId": confirmation_id, "reason": reason})


@pytest.fixture
def bills(vft):
    app = Bills(vft)
    yield app
    _, err, status = app.session.close()
    assert status == 0 and err == b""


def bill_args(**over):
    args = {"title": "Power January", "provider": "ACME Power", "accountLabel": "Home",
            "periodStart": "2024-01-01", "periodEnd": "2024-01-31", "dueDate": "2024-02-10",
            "amountMinor": 10000, "currency": "EUR"}
    args.update(over)
    return {k: v for k, v in args.items() if v is not None}


def evidence_file(tmp_path, name, data=None):
    folder = tmp_path / "evidence"
    folder.mkdir(exist_ok=True)
    path = folder / name
    path.write_bytes(name.encode() if data is None else data)
    return path


def sealed_store(vft, mode, data=None):
    proc = subprocess.run(vft.tool_command("sealed_store") + [mode, "bills",
                          vft.path(vft.folder("bills"))], input=data, capture_output=True,
                          env=vft.env, timeout=TIMEOUT)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def payment_state(bill):
    return bill["status"], bill["confirmedPaidMinor"], bill["remainingMinor"]


# -- identity of a billing period -------------------------------------------------------------
def test_same_period_in_other_letter_case_returns_the_first_bill_untouched(bills, tmp_path):
    first = bills.save()
    assert first["billingKey"] == "acme power|home|2024-01-01|2024-01-31"
    assert first["accountLabel"] == "Home" and first["provider"] == "ACME Power"
    assert payment_state(first) == ("pending", 0, 10000)
    paid = bills.confirm(first, 4000, evidence_file(tmp_path, "receipt.pdf"), "R-1")
    store = bills.vft.store_file("bills")
    before = snapshot(store)

    again = bills.ok("save_bill", bill_args(provider="acme power", accountLabel="HOME",
                                            title="Other", amountMinor=1, currency="usd",
                                            note="ignored"))
    assert again == {"duplicate": True, "bill": paid, "note": DUPLICATE_NOTE}
    assert snapshot(store) == before
    assert bills.count() == 1
    # Full Unicode lower-casing: É and é are one provider, Σ and σ one label.
    accented = bills.save(provider="ÉLECTRICITÉ", accountLabel="ΣΠΊΤΙ")
    assert accented["billingKey"] == "électricité|σπίτι|2024-01-01|2024-01-31"
    dup = bills.ok("save_bill", bill_args(provider="électricité", accountLabel="σπίτι"))
    assert dup["duplicate"] is True and dup["bill"]["id"] == accented["id"]
    # The label is not trimmed, so a padded label is another account.
    padded = bills.ok("save_bill", bill_args(accountLabel=" Home"))
    assert padded["duplicate"] is False
    assert padded["bill"]["billingKey"] == "acme power| home|2024-01-01|2024-01-31"
    assert bills.count() == 3


def test_duplicate_is_answered_only_after_the_evidence_file_passes(bills, tmp_path):
    bills.save()
    docx = evidence_file(tmp_path, "bill.docx")
    assert bills.err("save_bill", bill_args(sourcePath=bills.vft.path(docx))) == SELECT_EVIDENCE
    pdf = evidence_file(tmp_path, "bill.pdf")
    dup = bills.ok("save_bill", bill_args(sourcePath=bills.vft.path(pdf)))
    assert dup["duplicate"] is True and dup["bill"]["sources"] == []
    assert dup["bill"]["version"] == 1


def test_archived_periods_stay_taken(bills):
    old = bills.save(title="Old")
    archived = bills.ok("archive_bill", {"id": old["id"], "expectedVersion": 1})
    assert archived == {"archived": True, "id": old["id"], "version": 2}
    dup = bills.ok("save_bill", bill_args(provider="Acme POWER"))
    assert dup["duplicate"] is True and dup["bill"]["id"] == old["id"]
    assert dup["bill"]["archived"] is True and dup["note"] == DUPLICATE_NOTE

    other = bills.save(periodStart="2024-02-01", periodEnd="2024-02-29")
    onto = bill_args(id=other["id"], expectedVersion=1)
    assert bills.err("save_bill", onto) == "This would duplicate another billing period"
    kept = bills.ok("save_bill", bill_args(id=other["id"], expectedVersion=1, title="Renamed",
                                           periodStart="2024-02-01", periodEnd="2024-02-29",
                                           provider="acme POWER"))
    assert kept["duplicate"] is False and kept["bill"]["version"] == 2
    assert kept["bill"]["title"] == "Renamed" and kept["bill"]["id"] == other["id"]

    assert bills.err("save_bill", bill_args(id=old["id"], expectedVersion=2)) == \
        "Restore the bill before changing it"
    restored = bills.ok("restore_bill", {"id": old["id"], "expectedVersion": 2})
    assert restored == {"archived": False, "id": old["id"], "version": 3}
    fixed = bills.ok("save_bill", bill_args(id=old["id"], expectedVersion=3, amountMinor=9000))
    assert fixed["bill"]["version"] == 4 and fixed["bill"]["remainingMinor"] == 9000
    assert bills.count() == 2


def test_corrections_keep_history_and_rederive_the_state(bills, tmp_path):
    bill = bills.save(note="first note", invoiceReference="INV-1")
    bill = bills.attempt(bill)
    bill = bills.confirm(bill, 6000, evidence_file(tmp_path, "a.pdf"), "R-1")
    assert payment_state(bill) == ("partial", 6000, 4000)
    assert bills.err("save_bill", bill_args(id=bill["id"])) == CONFLICT + "3"
    assert bills.err("save_bill", bill_args(id=bill["id"], expectedVersion=2)) == CONFLICT + "3"
    assert bills.err("save_bill", bill_args(id="bill-0-0", expectedVersion=3)) == \
        "Record not found"

    fixed = bills.ok("save_bill", bill_args(id=bill["id"], expectedVersion=3, amountMinor=6000,
                                            currency="usd"))["bill"]
    assert payment_state(fixed) == ("paid", 6000, 0)
    assert fixed["version"] == 4 and fixed["currency"] == "USD"
    assert fixed["attempts"] == bill["attempts"]
    assert fixed["confirmations"] == bill["confirmations"]
    assert fixed["note"] == "first note" and fixed["invoiceReference"] == "INV-1"
    assert fixed["createdAt"] == bill["createdAt"]
    raised = bills.ok("save_bill", bill_args(id=bill["id"], expectedVersion=4, amountMinor=6001,
                                             note=""))["bill"]
    assert payment_state(raised) == ("partial", 6000, 1)
    assert raised["note"] == ""
    assert bills.get(bill["id"]) == raised


# -- checks of save_bill ----------------------------------------------------------------------
def test_save_bill_checks_its_arguments_in_order(bills):
    cases = [
        (dict(title="   "), "title must be 1–160 characters without NUL"),
        (dict(title="t" * 161, provider=""), "title must be 1–160 characters without NUL"),
        (dict(provider="\t"), "provider must be 1–160 characters without NUL"),
        (dict(periodStart="2024-01-011"), "periodStart must be 1–10 characters without NUL"),
        (dict(periodStart="2024-1-01", periodEnd="bad"), "Dates must use YYYY-MM-DD"),
        (dict(periodEnd="2024-02-30"), "Invalid calendar date"),
        (dict(dueDate="1899-12-31"), "Invalid calendar date"),
        (dict(periodStart="2024-02-01"), "periodStart must not follow periodEnd"),
        (dict(amountMinor=0), "amountMinor must be positive"),
        (dict(amountMinor=1000000000001), UNITS),
        (dict(amountMinor=-5), "Invalid type for amountMinor"),
        (dict(amountMinor=12.5), "Invalid type for amountMinor"),
        (dict(currency="US"), "currency must be a three-letter code"),
        (dict(currency="U5D"), "currency must be a three-letter code"),
        (dict(currency="éur"), "currency must be a three-letter code"),
        (dict(currency="USDX"), "currency must be 1–3 characters without NUL"),
        (dict(accountLabel="x" * 101), "Use a short account label, not account credentials"),
        (dict(accountLabel="é" * 50 + "x"), "Use a short account label, not account credentials"),
        (dict(note="n" * 2001), "note is too long"),
        (dict(invoiceReference="€" * 667), "invoiceReference is too long"),
    ]
    for over, message in cases:
        assert bills.err("save_bill", bill_args(**over)) == message, over
    assert bills.count() == 0


def test_save_bill_checks_records_in_order_after_the_arguments(bills, vft, tmp_path):
    docx = vft.path(evidence_file(tmp_path, "bill.docx"))
    # The evidence file is judged before the bill is even looked up.
    assert bills.err("save_bill", bill_args(id="bill-0-0", expectedVersion=1,
                                            sourcePath=docx)) == SELECT_EVIDENCE
    bill = bills.save()
    # The duplicate answer comes before the free texts are checked.
    dup = bills.ok("save_bill", bill_args(note="n" * 2001, invoiceReference="i" * 2001))
    assert dup["duplicate"] is True and dup["bill"] == bill
    bills.ok("archive_bill", {"id": bill["id"], "expectedVersion": 1})
    assert bills.err("save_bill", bill_args(id=bill["id"], expectedVersion=2,
                                            note="n" * 2001)) == \
        "Restore the bill before changing it"
    bills.ok("restore_bill", {"id": bill["id"], "expectedVersion": 2})
    version = 3
    files = [evidence_file(tmp_path, f"s{n}.txt") for n in range(30)]
    for path in files:
        version = bills.ok("add_bill_source", {"id": bill["id"], "expectedVersion": version,
                                               "sourcePath": vft.path(path)})["version"]
    full = bill_args(id=bill["id"], expectedVersion=version, sourcePath=vft.path(files[3]))
    # Free texts before the source limit, and the limit even for a file already attached.
    assert bills.err("save_bill", dict(full, invoiceReference="i" * 2001)) == \
        "invoiceReference is too long"
    assert bills.err("save_bill", full) == "Source limit reached (30)"
    assert bills.get(bill["id"])["version"] == version


def test_save_bill_accepts_the_edges(bills):
    bill = bills.save(periodStart="2024-03-05", periodEnd="2024-03-05", dueDate="2024-01-01",
                      amountMinor=1000000000000, title="  Water \u2003", provider=" Aqua ")
    assert (bill["periodStart"], bill["periodEnd"], bill["dueDate"]) == \
        ("2024-03-05", "2024-03-05", "2024-01-01")
    assert payment_state(bill) == ("pending", 0, 1000000000000)
    assert bill["title"] == "Water" and bill["provider"] == "Aqua"
    assert bill["version"] == 1 and bill["archived"] is False
    assert bill["attempts"] == [] and bill["confirmations"] == [] and bill["sources"] == []
    assert bill["id"].startswith("bill-") and "note" not in bill
    label = " " + "é" * 49 + " "  # exactly 100 bytes, kept untrimmed
    edge = bills.save(accountLabel=label, note="", invoiceReference="€" * 666 + "xx")
    assert edge["accountLabel"] == label and edge["note"] == ""
    assert edge["billingKey"] == "acme power|" + label + "|2024-01-01|2024-01-31"
    no_label = bills.save(accountLabel=None, provider="Gas")
    assert no_label["accountLabel"] == "" and no_label["billingKey"].startswith("gas||")


def test_currency_is_upper_cased_by_full_unicode_mapping(bills):
    cases = [("usd", "USD"), (" eur ", "EUR"), ("usı", "USI"), ("Chf", "CHF")]
    if not WINE:  # Wine has no icu.dll, and its fallback maps case one character to one
        cases += [("ßd", "SSD"), ("ﬀa", "FFA")]
    for number, (given, stored) in enumerate(cases):
        bill = bills.save(currency=given, provider=f"P{number}")
        assert bill["currency"] == stored, given
    assert bills.err("save_bill", bill_args(currency="ßßd")) == \
        "currency must be a three-letter code"


# -- evidence files ---------------------------------------------------------------------------
def test_evidence_files_by_extension_and_content(bills, vft, tmp_path):
    bill = bills.save()
    data = b"%PDF-1.4 statement"
    scan = evidence_file(tmp_path, "Statement.PDF", data)
    with_source = bills.ok("add_bill_source", {"id": bill["id"], "expectedVersion": 1,
                                               "sourcePath": vft.path(scan)})
    source, = with_source["sources"]
    assert source["sha256"] == hashlib.sha256(data).hexdigest()
    assert source["bytes"] == len(data) and source["meaning"] == MEANING
    assert isinstance(source["observedAt"], int)
    if WINE:
        assert source["path"].endswith("\\Statement.PDF")
    else:
        assert source["path"] == os.path.realpath(scan)
    assert with_source["version"] == 2
    assert payment_state(with_source) == payment_state(bill)

    for name in ("photo.png", "photo.JPG", "photo.jpeg", "notes.txt"):
        path = evidence_file(tmp_path, name)
        bill = bills.ok("add_bill_source", {"id": bill["id"], "expectedVersion":
                                            bills.get(bill["id"])["version"],
                                            "sourcePath": vft.path(path)})
    assert len(bill["sources"]) == 5

    current = bills.get(bill["id"])
    args = {"id": bill["id"], "expectedVersion": current["version"]}
    # Windows drops a trailing dot from a file name, so "trailing." is only a name elsewhere.
    for name in ("letter.docx", "noext", ".pdf") + (() if WINE else ("trailing.",)):
        path = evidence_file(tmp_path, name)
        assert bills.err("add_bill_source", dict(args, sourcePath=vft.path(path))) == \
            SELECT_EVIDENCE, name
    # The file is read before its name is judged.
    missing_docx = bills.err("add_bill_source",
                             dict(args, sourcePath=vft.path(tmp_path / "gone.docx")))
    missing_pdf = bills.err("add_bill_source",
                            dict(args, sourcePath=vft.path(tmp_path / "gone.pdf")))
    assert missing_docx == missing_pdf != SELECT_EVIDENCE
    folder = tmp_path / "folder.docx"
    folder.mkdir()
    assert bills.err("add_bill_source", dict(args, sourcePath=vft.path(folder))) == \
        "Choose a regular file no larger than 20 MiB"
    big = tmp_path / "big.docx"
    with open(big, "wb") as f:
        f.truncate(20971521)
    assert bills.err("add_bill_source", dict(args, sourcePath=vft.path(big))) == \
        "Choose a regular file no larger than 20 MiB"
    assert bills.err("add_bill_source", dict(args, sourcePath="relative/bill.pdf")) == \
        "Choose an absolute local file path"
    assert bills.get(bill["id"]) == current


def test_same_source_twice_is_a_duplicate_but_may_back_another_bill(bills, vft, tmp_path):
    first = bills.save()
    scan = evidence_file(tmp_path, "scan.png")
    copy = evidence_file(tmp_path, "copy.txt", scan.read_bytes())
    first = bills.ok("add_bill_source", {"id": first["id"], "expectedVersion": 1,
                                         "sourcePath": vft.path(scan)})
    store = vft.store_file("bills")
    before = snapshot(store)
    again = bills.ok("add_bill_source", {"id": first["id"], "expectedVersion": 2,
                                         "sourcePath": vft.path(copy)})
    assert again == {"duplicate": True, "bill": first}
    assert snapshot(store) == before
    other = bills.save(provider="Other")
    other = bills.ok("add_bill_source", {"id": other["id"], "expectedVersion": 1,
                                         "sourcePath": vft.path(scan)})
    assert other["version"] == 2 and len(other["sources"]) == 1


def test_save_bill_source_paths(bills, vft, tmp_path):
    scan = evidence_file(tmp_path, "Bill.JPEG")
    bill = bills.save(sourcePath=vft.path(scan))
    assert len(bill["sources"]) == 1 and bill["version"] == 1
    # The same file again on a correction is dropped silently; a new one is added.
    again = bills.ok("save_bill", bill_args(id=bill["id"], expectedVersion=1,
                                            sourcePath=vft.path(scan)))["bill"]
    assert again["sources"] == bill["sources"] and again["version"] == 2
    docx = evidence_file(tmp_path, "bill.docx")
    assert bills.err("save_bill", bill_args(provider="New", sourcePath=vft.path(docx))) == \
        SELECT_EVIDENCE
    assert bills.count() == 1


# -- payments ---------------------------------------------------------------------------------
def test_partial_payments_add_up_and_voids_reopen(bills, tmp_path):
    bill = bills.save()
    bill = bills.confirm(bill, 4000, evidence_file(tmp_path, "a.pdf"), "R-1")
    assert payment_state(bill) == ("partial", 4000, 6000)
    bill = bills.confirm(bill, 6000, evidence_file(tmp_path, "b.pdf"), "  R-2 ")
    assert payment_state(bill) == ("paid", 10000, 0)
    assert bill["version"] == 3
    second = bill["confirmations"][1]
    assert second["reference"] == "R-2" and second["voided"] is False
    assert second["id"].startswith("confirmation-") and second["confirmedOn"] == "2024-02-03"
    assert second["evidence"]["meaning"] == MEANING

    bill = bills.void(bill, second["id"], reason="  Bank reversed it ")
    assert payment_state(bill) == ("partial", 4000, 6000)
    voided = bill["confirmations"][1]
    assert voided["voided"] is True and voided["voidReason"] == "Bank reversed it"
    assert isinstance(voided["voidedAt"], int)
    assert {k: v for k, v in voided.items() if k not in ("voided", "voidReason", "voidedAt")} == \
        {k: v for k, v in second.items() if k != "voided"}
    assert bills.get(bill["id"]) == bill

    bill = bills.confirm(bill, 2500, evidence_file(tmp_path, "c.pdf"), "R-3")
    bill = bills.confirm(bill, 3500, evidence_file(tmp_path, "d.pdf"), "R-4")
    assert payment_state(bill) == ("paid", 10000, 0)


def test_attempts_only_move_pending_to_attempted(bills, tmp_path):
    bill = bills.save()
    bill = bills.attempt(bill, amount=10000, note="  Card declined\n")
    assert payment_state(bill) == ("attempted", 0, 10000)
    attempt, = bill["attempts"]
    assert attempt["note"] == "Card declined" and attempt["amountMinor"] == 10000
    assert attempt["id"].startswith("attempt-") and attempt["attemptedOn"] == "2024-02-01"
    bill = bills.confirm(bill, 10000, evidence_file(tmp_path, "a.pdf"), "R-1")
    assert payment_state(bill) == ("paid", 10000, 0)
    bill = bills.void(bill, bill["confirmations"][0]["id"])
    assert payment_state(bill) == ("attempted", 0, 10000)

    plain = bills.save(provider="Plain")
    plain = bills.confirm(plain, 5, evidence_file(tmp_path, "b.pdf"), "R-1")
    plain = bills.void(plain, plain["confirmations"][0]["id"])
    assert payment_state(plain) == ("pending", 0, 10000)


def test_overpayment_is_paid_with_nothing_remaining(bills, tmp_path):
    bill = bills.save()
    bill = bills.confirm(bill, 12000, evidence_file(tmp_path, "a.pdf"), "R-1")
    assert payment_state(bill) == ("paid", 12000, 0)
    big = bills.save(provider="Big", amountMinor=1000000000000)
    for n in range(3):
        big = bills.confirm(big, 1000000000000, evidence_file(tmp_path, f"big{n}.pdf"), f"B{n}")
    assert payment_state(big) == ("paid", 3000000000000, 0)


def test_duplicate_references_and_evidence_of_active_confirmations(bills, vft, tmp_path):
    bill = bills.save()
    first_file = evidence_file(tmp_path, "a.pdf")
    bill = bills.ok("add_bill_source", {"id": bill["id"], "expectedVersion": 1,
                                        "sourcePath": vft.path(first_file)})
    # A source with the same file does not block a confirmation.
    bill = bills.confirm(bill, 1000, first_file, "R-1")
    other_file = evidence_file(tmp_path, "b.pdf")
    same_content = evidence_file(tmp_path, "c.txt", first_file.read_bytes())
    assert bills.err("confirm_payment", bills.confirm_args(bill, 5, other_file, " R-1")) == \
        ALREADY_CONFIRMED
    assert bills.err("confirm_payment", bills.confirm_args(bill, 5, same_content, "R-2")) == \
        ALREADY_CONFIRMED
    assert bills.get(bill["id"]) == bill
    # References compare byte for byte.
    bill = bills.confirm(bill, 1000, other_file, "r-1")
    bill = bills.void(bill, bill["confirmations"][0]["id"])
    bill = bills.confirm(bill, 1000, same_content, "R-1")
    assert payment_state(bill) == ("partial", 2000, 8000)
    assert len(bill["confirmations"]) == 3


def test_void_errors(bills, tmp_path):
    bill = bills.save()
    bill = bills.confirm(bill, 1000, evidence_file(tmp_path, "a.pdf"), "R-1")
    target = bill["confirmations"][0]["id"]
    base = {"id": bill["id"], "expectedVersion": bill["version"], "reason": "Mistake"}
    assert bills.err("void_confirmation", dict(base, confirmationId=target + " ")) == \
        "Confirmation not found"
    assert bills.err("void_confirmation", dict(base, confirmationId=target, reason=" ")) == \
        "reason must be 1–1000 characters without NUL"
    bill = bills.void(bill, target)
    assert bills.err("void_confirmation", dict(base, confirmationId=target,
                                               expectedVersion=bill["version"])) == \
        "Confirmation is already voided"
    assert bills.get(bill["id"]) == bill


def test_payment_arguments_are_checked(bills, tmp_path):
    bill = bills.save()
    pdf = evidence_file(tmp_path, "a.pdf")
    base = bills.confirm_args(bill, 100, pdf, "R-1")
    cases = [
        ("record_payment_attempt", dict(amountMinor=0), "Payment amount must be positive"),
        ("record_payment_attempt", dict(amountMinor=10**12 + 1), UNITS),
        ("record_payment_attempt", dict(attemptedOn="2023-02-29"), "Invalid calendar date"),
        ("record_payment_attempt", dict(note=" "), "note must be 1–2000 characters without NUL"),
        ("confirm_payment", dict(amountMinor=0), "Confirmation amount must be positive"),
        ("confirm_payment", dict(confirmedOn="2024/02/03"), "Dates must use YYYY-MM-DD"),
        ("confirm_payment", dict(confirmationReference="x" * 201),
         "confirmationReference must be 1–200 characters without NUL"),
        ("confirm_payment", dict(evidencePath=bills.vft.path(evidence_file(tmp_path, "a.doc"))),
         SELECT_EVIDENCE),
    ]
    for tool, over, message in cases:
        if tool == "record_payment_attempt":
            args = dict({"id": bill["id"], "expectedVersion": 1, "attemptedOn": "2024-02-01",
                         "amountMinor": 100, "note": "n"}, **over)
        else:
            args = dict(base, **over)
        assert bills.err(tool, args) == message, over
    assert bills.get(bill["id"]) == bill


def test_archived_bill_refuses_every_change_after_the_version_guard(bills, vft, tmp_path):
    bill = bills.save()
    bill = bills.confirm(bill, 100, evidence_file(tmp_path, "a.pdf"), "R-1")
    bills.ok("archive_bill", {"id": bill["id"], "expectedVersion": 2})
    pdf = vft.path(evidence_file(tmp_path, "b.pdf"))
    calls = [
        ("add_bill_source", {"sourcePath": pdf}, "Restore the bill before adding sources"),
        ("record_payment_attempt", {"attemptedOn": "2024-02-01", "amountMinor": 1, "note": "n"},
         "Restore the bill before recording a payment"),
        ("confirm_payment", {"confirmedOn": "2024-02-01", "amountMinor": 1,
                             "confirmationReference": "R-2", "evidencePath": pdf},
         "Restore the bill before recording a confirmation"),
        ("void_confirmation", {"confirmationId": bill["confirmations"][0]["id"], "reason": "r"},
         "Restore the bill before correcting confirmations"),
    ]
    store = vft.store_file("bills")
    before = snapshot(store)
    for tool, args, message in calls:
        assert bills.err(tool, dict(args, id=bill["id"], expectedVersion=3)) == message
        assert bills.err(tool, dict(args, id=bill["id"], expectedVersion=2)) == CONFLICT + "3"
        assert bills.err(tool, dict(args, id="bill-1-1", expectedVersion=3)) == \
            "Record not found"
    assert snapshot(store) == before
    archived = bills.get(bill["id"])
    assert archived["archived"] is True and archived["confirmations"] == bill["confirmations"]
    assert bills.err("archive_bill", {"id": bill["id"], "expectedVersion": 2}) == CONFLICT + "3"
    again = bills.ok("archive_bill", {"id": bill["id"], "expectedVersion": 3})
    assert again["version"] == 4


# -- limits -----------------------------------------------------------------------------------
def test_thirty_sources(bills, vft, tmp_path):
    bill = bills.save()
    files = [evidence_file(tmp_path, f"s{n}.txt") for n in range(31)]
    for path in files[:30]:
        bill = bills.ok("add_bill_source", {"id": bill["id"], "expectedVersion": bill["version"],
                                            "sourcePath": vft.path(path)})
    assert len(bill["sources"]) == 30 and bill["version"] == 31
    args = {"id": bill["id"], "expectedVersion": 31}
    assert bills.err("add_bill_source", dict(args, sourcePath=vft.path(files[30]))) == \
        "Source limit reached (30)"
    dup = bills.ok("add_bill_source", dict(args, sourcePath=vft.path(files[7])))
    assert dup == {"duplicate": True, "bill": bill}
    assert bills.err("save_bill", bill_args(id=bill["id"], expectedVersion=31,
                                            sourcePath=vft.path(files[30]))) == \
        "Source limit reached (30)"


def test_one_hundred_attempts_and_confirmations(bills, tmp_path):
    bill = bills.save(amountMinor=1000000000000)
    for n in range(100):
        bill = bills.attempt(bill, amount=n + 1, note=f"try {n}")
    assert len(bill["attempts"]) == 100 and bill["status"] == "attempted"
    assert bills.err("record_payment_attempt",
                     {"id": bill["id"], "expectedVersion": bill["version"],
                      "attemptedOn": "2024-02-01", "amountMinor": 1, "note": "n"}) == \
        "Payment attempt limit reached (100)"

    for n in range(100):
        bill = bills.confirm(bill, 9999999999 - n, evidence_file(tmp_path, f"c{n}.pdf"), f"R{n}")
    assert bill["confirmedPaidMinor"] == sum(9999999999 - n for n in range(100))
    assert bill["remainingMinor"] == 1000000000000 - bill["confirmedPaidMinor"]
    assert bill["status"] == "partial"
    bill = bills.void(bill, bill["confirmations"][0]["id"])
    # Voided confirmations still count towards the limit.
    assert bills.err("confirm_payment", bills.confirm_args(
        bill, 1, evidence_file(tmp_path, "last.pdf"), "last")) == \
        "Confirmation limit reached (100)"
    assert bills.err("confirm_payment", bills.confirm_args(
        bill, 1, evidence_file(tmp_path, "c5.pdf"), "new")) == ALREADY_CONFIRMED


@needs_sealed_store
def test_three_thousand_bills_archived_ones_included(bills, vft):
    seed = bills.save(title="Seed", provider="Seed Co", accountLabel="0")
    document = json.loads(sealed_store(vft, "read"))
    records = document["records"]
    for n in range(1, 2999):
        record = dict(seed, id=f"bill-{n}-1", title=f"Bill {n}", accountLabel=str(n),
                      billingKey=f"seed co|{n}|2024-01-01|2024-01-31", archived=n % 10 == 0)
        records.append(record)
    sealed_store(vft, "write", json.dumps(document, indent=2, sort_keys=True).encode())
    assert bills.count() == 2999

    last = bills.save(title="Last", provider="Last")
    assert bills.count() == 3000
    assert bills.err("save_bill", bill_args(provider="One more")) == "Bill limit reached (3000)"
    dup = bills.ok("save_bill", bill_args(provider="SEED CO", accountLabel="10"))
    assert dup["duplicate"] is True and dup["bill"]["id"] == "bill-10-1"
    assert dup["bill"]["archived"] is True
    fixed = bills.ok("save_bill", bill_args(id=last["id"], expectedVersion=1, amountMinor=5))
    assert fixed["bill"]["version"] == 2

    summary = bills.ok("summarize_bills", {"asOf": "2024-02-11"})
    active = 3000 - 299
    assert summary["byCurrency"] == {"EUR": {"count": active,
                                             "outstandingMinor": (active - 1) * 10000 + 5,
                                             "overdueMinor": (active - 1) * 10000 + 5}}
    assert len(summary["bills"]) == 100
    found = bills.ok("search_bills", {"limit": 1000, "includeArchived": True})
    assert found["total"] == 3000 and len(found["records"]) == 100


# -- search and summary -----------------------------------------------------------------------
def test_search_filters_on_the_stored_status(bills, tmp_path):
    pending = bills.save(provider="Pending Co")
    attempted = bills.attempt(bills.save(provider="Attempted Co"))
    partial = bills.confirm(bills.save(provider="Partial Co"), 10,
                            evidence_file(tmp_path, "p.pdf"), "R-1")
    paid = bills.confirm(bills.save(provider="Paid Co"), 10000,
                         evidence_file(tmp_path, "q.pdf"), "R-2")
    old_paid = bills.confirm(bills.save(provider="Old Paid Co"), 10000,
                             evidence_file(tmp_path, "r.pdf"), "R-3")
    bills.ok("archive_bill", {"id": old_paid["id"], "expectedVersion": 2})

    for status, expected in (("pending", [pending]), ("attempted", [attempted]),
                             ("partial", [partial]), ("paid", [paid])):
        found = bills.ok("search_bills", {"status": status})
        assert [r["id"] for r in found["records"]] == [b["id"] for b in expected]
        assert found["total"] == len(expected)
        for record in found["records"]:
            assert record["status"] == status
            assert not {"attempts", "confirmations", "sources"} & set(record)
    both = bills.ok("search_bills", {"status": "paid", "includeArchived": True})
    assert [r["id"] for r in both["records"]] == [old_paid["id"], paid["id"]]
    assert bills.ok("search_bills", {"status": "paid", "query": "PENDING"})["total"] == 0
    every = bills.ok("search_bills", {"query": "co"})
    assert every["total"] == 4 and every["records"][0]["id"] == paid["id"]
    # Omitted members are not searched: the confirmation reference is only in history.
    assert bills.ok("search_bills", {"query": "r-2"})["total"] == 0
    assert bills.err("search_bills", {"status": "overdue"}) == "Invalid value for status"


def test_summary_per_currency_on_the_given_date(bills, tmp_path):
    empty = bills.ok("summarize_bills", {"asOf": " 2024-03-02 "})
    assert empty == {"asOf": "2024-03-02", "byCurrency": {}, "bills": [], "limit": 100,
                     "basis": BASIS}
    usd = bills.save(provider="US", currency="usd", amountMinor=700, dueDate="2024-03-01")
    partial = bills.confirm(bills.save(provider="Partial", dueDate="2024-03-02"), 4000,
                            evidence_file(tmp_path, "a.pdf"), "R-1")
    bills.confirm(bills.save(provider="Over"), 12000, evidence_file(tmp_path, "b.pdf"), "R-2")
    archived = bills.save(provider="Archived", dueDate="2020-01-01")
    bills.ok("archive_bill", {"id": archived["id"], "expectedVersion": 1})
    attempted = bills.attempt(bills.save(provider="Attempted", dueDate="2024-04-01"))
    store = bills.vft.store_file("bills")
    before = snapshot(store)

    summary = bills.ok("summarize_bills", {"asOf": "2024-03-02"})
    assert list(summary["byCurrency"]) == ["EUR", "USD"]
    assert summary["byCurrency"] == {
        "EUR": {"count": 2, "outstandingMinor": 16000, "overdueMinor": 0},
        "USD": {"count": 1, "outstandingMinor": 700, "overdueMinor": 700}}
    assert summary["bills"] == [
        {"id": usd["id"], "title": "Power January", "dueDate": "2024-03-01",
         "status": "pending", "remainingMinor": 700, "currency": "USD", "overdue": True},
        {"id": partial["id"], "title": "Power January", "dueDate": "2024-03-02",
         "status": "partial", "remainingMinor": 6000, "currency": "EUR", "overdue": False},
        {"id": attempted["id"], "title": "Power January", "dueDate": "2024-04-01",
         "status": "attempted", "remainingMinor": 10000, "currency": "EUR", "overdue": False}]
    later = bills.ok("summarize_bills", {"asOf": "2024-03-03"})
    assert later["byCurrency"]["EUR"]["overdueMinor"] == 6000
    assert bills.err("summarize_bills", {"asOf": "2024-02-30"}) == "Invalid calendar date"
    assert bills.err("summarize_bills", {"asOf": "03/02/2024"}) == "Dates must use YYYY-MM-DD"
    assert bills.err("summarize_bills", {"asOf": "2024-03-022"}) == \
        "asOf must be 1–10 characters without NUL"
    assert snapshot(store) == before


def test_month_by_month_summary_for_the_view(bills, tmp_path):
    paid = bills.save(provider="Water", dueDate="2024-03-05", amountMinor=3000)
    confirmed = bills.confirm(paid, 1000, evidence_file(tmp_path, "a.pdf"), "R-1")
    voided = bills.confirm(confirmed, 2000, evidence_file(tmp_path, "b.pdf"), "R-2")
    bills.void(voided, voided["confirmations"][1]["id"])
    bills.save(provider="Water", accountLabel="Office", dueDate="2024-03-20", currency="usd")
    bills.save(provider="Power", dueDate="2023-04-01", amountMinor=5)
    archived = bills.save(provider="Gas", dueDate="2024-03-01")
    bills.ok("archive_bill", {"id": archived["id"], "expectedVersion": 1})
    store = bills.vft.store_file("bills")
    before = snapshot(store)

    summary = bills.ok("summarize_bills_by_month", {"asOf": " 2024-03-31 "})
    assert summary == {"asOf": "2024-03-31", "fromMonth": "2023-04", "toMonth": "2024-03",
                       "rows": [{"month": "2023-04", "provider": "Power", "currency": "EUR",
                                 "billedMinor": 5, "paidMinor": 0},
                                {"month": "2024-03", "provider": "Water", "currency": "EUR",
                                 "billedMinor": 3000, "paidMinor": 1000},
                                {"month": "2024-03", "provider": "Water", "currency": "USD",
                                 "billedMinor": 10000, "paidMinor": 0}]}
    usd = bills.ok("summarize_bills_by_month",
                   {"asOf": "2024-03-31", "months": 1, "currency": "usd"})
    assert [r["currency"] for r in usd["rows"]] == ["USD"] and usd["fromMonth"] == "2024-03"
    # Checked like every tool's arguments, then with the app's own messages.
    for args, message in [({"month": 1}, "Unknown argument: month"),
                          ({"months": 1.0}, "Invalid type for months"),
                          ({"months": 37}, "months must be between 1 and 36"),
                          ({"currency": "EURO"}, "currency must be 1–3 characters without NUL"),
                          ({"currency": "E1"}, "currency must be a three-letter code"),
                          ({"asOf": "2024-02-30"}, "Invalid calendar date")]:
        assert bills.err("summarize_bills_by_month", args) == message
    assert snapshot(store) == before


def test_summary_of_one_hundred_and_fifty_bills(bills):
    made = []
    for n in range(150):
        made.append(bills.save(provider=f"P{n}", amountMinor=999999999999 - n,
                               currency="usd" if n % 3 else "eur",
                               dueDate="2024-01-15" if n % 2 else "2024-03-15"))
    summary = bills.ok("summarize_bills", {"asOf": "2024-02-01"})
    assert [b["id"] for b in summary["bills"]] == [b["id"] for b in made[:100]]
    assert summary["limit"] == 100
    for code, pick in (("EUR", lambda n: n % 3 == 0), ("USD", lambda n: n % 3 != 0)):
        chosen = [n for n in range(150) if pick(n)]
        assert summary["byCurrency"][code] == {
            "count": len(chosen),
            "outstandingMinor": sum(999999999999 - n for n in chosen),
            "overdueMinor": sum(999999999999 - n for n in chosen if n % 2)}


# -- the store on disk ------------------------------------------------------------------------
def test_the_store_is_never_plain_text(bills, vft, tmp_path):
    bill = bills.save(title="Zebra Quarterly Heating", provider="Northwind Utilities",
                      accountLabel="Cabin", note="Gate code reminder")
    bills.confirm(bill, 100, evidence_file(tmp_path, "receipt.pdf"), "CONF-778899")
    raw = vft.store_file("bills").read_bytes()
    assert raw and not (vft.folder("bills") / "records.json").exists()
    for secret in ("Zebra Quarterly Heating", "Northwind Utilities", "northwind utilities",
                   "Gate code reminder", "CONF-778899", "billingKey", "receipt.pdf"):
        assert secret.encode() not in raw, secret
    info = bills.ok("get_storage_info", {})
    assert info["encryptedAtRest"] is True and info["recordCount"] == 1
    assert info["storagePath"].endswith("records.dpapi")
