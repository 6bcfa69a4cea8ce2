#!/usr/bin/env python3
"""save_bill, summarize_bills and summarize_bills_by_month latency up to a store of 3000 bills.

Usage: bills_bench.py PROGRAM [ROUNDS]

The bills store is protected at rest, so the bench builds it through the program itself:
one session in a temporary data home (and a temporary user key) creates 3000 bills, about a
third of them with a payment attempt or a confirmation and some archived. It reports
save_bill creation latency as the store grows, then, at 3000 bills, ROUNDS corrections,
ROUNDS duplicate answers, the refused 3001st bill, ROUNDS summaries and ROUNDS month-by-month
summaries of the last 36 months. A PROGRAM ending in
.exe is run under wine64.
"""
import os
import sys
import tempfile

from benchlib import Session, report

LIMIT = 3000
CURRENCIES = ["EUR", "USD", "GBP", "CHF"]
PROVIDERS = ["ACME Power", "Northwind Water", "Contoso Telecom", "Fabrikam Gas", "Litware Net"]


def month(n):
    year, index = 2000 + n // 12, n % 12
    days = [31, 29 if year % 4 == 0 else 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31][index]
    return f"{year}-{index + 1:02d}-01", f"{year}-{index + 1:02d}-{days:02d}"


def bill_args(n):
    start, end = month(n // len(PROVIDERS))
    return {"title": f"Bill {n} for {PROVIDERS[n % len(PROVIDERS)]}",
            "provider": PROVIDERS[n % len(PROVIDERS)], "accountLabel": f"Account {n % 7}",
            "periodStart": start, "periodEnd": end, "dueDate": end,
            "amountMinor": 1000 + (n * 7919) % 500000, "currency": CURRENCIES[n % 4],
            "invoiceReference": f"INV-{n:06d}", "note": "Monthly statement " * 4}


def main():
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    program = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    with tempfile.TemporaryDirectory() as home:
        env = dict(os.environ, VEYMORA_DATA_HOME=home, HOME=home,
                   XDG_CONFIG_HOME=os.path.join(home, "config"))
        env.pop("LOCALAPPDATA", None)
        evidence = os.path.join(home, "evidence")
        os.mkdir(evidence)
        session = Session(program, "bills", env)

        bills = []
        creations = []
        for n in range(LIMIT):
            elapsed, result = session.call("save_bill", bill_args(n))
            creations.append(elapsed)
            bill = result["bill"]
            if n % 3 == 1:
                _, bill = session.call("record_payment_attempt", {
                    "id": bill["id"], "expectedVersion": bill["version"],
                    "attemptedOn": bill["dueDate"], "amountMinor": 500, "note": "Card payment"})
            elif n % 3 == 2 and n % 2 == 0:
                path = os.path.join(evidence, f"receipt-{n}.pdf")
                with open(path, "wb") as f:
                    f.write(f"%PDF-1.4 receipt {n}".encode())
                _, bill = session.call("confirm_payment", {
                    "id": bill["id"], "expectedVersion": bill["version"],
                    "confirmedOn": bill["dueDate"], "amountMinor": bill["amountMinor"] // 2,
                    "confirmationReference": f"CONF-{n}", "evidencePath": path})
            if n % 25 == 0:
                _, archived = session.call("archive_bill", {"id": bill["id"],
                                                            "expectedVersion": bill["version"]})
                bill.update(archived=True, version=archived["version"])
            bills.append(bill)
            if (n + 1) % 500 == 0:
                report(f"save_bill create ({n - 499}->{n + 1} bills)", creations[-500:])
        size = os.path.getsize(os.path.join(home, "bills", "records.dpapi"))
        print(f"store: {LIMIT} bills, {size / 1048576:.2f} MiB protected", flush=True)

        corrections = []
        for n in range(rounds):
            bill = bills[1 + (n * 37) % (LIMIT - 1)]
            if bill["archived"]:
                continue
            elapsed, result = session.call("save_bill", dict(
                bill_args(1 + (n * 37) % (LIMIT - 1)), id=bill["id"],
                expectedVersion=bill["version"], note=f"Corrected {n}"))
            bill["version"] = result["bill"]["version"]
            corrections.append(elapsed)
        report(f"save_bill correct ({LIMIT} bills)", corrections)
        report(f"save_bill duplicate period ({LIMIT} bills)",
               [session.call("save_bill", dict(bill_args((n * 53) % LIMIT),
                                               provider=PROVIDERS[(n * 53) % 5].upper()))[0]
                for n in range(rounds)])
        report(f"save_bill refused at the limit ({LIMIT} bills)",
               [session.call("save_bill", dict(bill_args(LIMIT + n)), expect_error=True)[0]
                for n in range(rounds)])

        summaries = []
        for n in range(rounds):
            elapsed, summary = session.call("summarize_bills", {"asOf": "2024-06-15"})
            summaries.append(elapsed)
        counted = sum(c["count"] for c in summary["byCurrency"].values())
        report(f"summarize_bills ({LIMIT} bills, {counted} counted)", summaries)
        by_month = []
        for n in range(rounds):
            elapsed, months = session.call("summarize_bills_by_month",
                                           {"asOf": "2049-12-31", "months": 36})
            by_month.append(elapsed)
        report(f"summarize_bills_by_month ({LIMIT} bills, {len(months['rows'])} rows)", by_month)
        report(f"search_bills status partial ({LIMIT} bills)",
               [session.call("search_bills", {"status": "partial", "limit": 100})[0]
                for _ in range(rounds)])
        session.close()


if __name__ == "__main__":
    main()
