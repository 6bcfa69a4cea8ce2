#!/usr/bin/env python3
"""The program beside a small Node.js MCP server (bench/peer, official SDK) doing the same
load-append-save job on the same stores, in one run, with the durable save of the same bytes
as the floor. Prints figures and ratios; asserts nothing.

Usage: bench/peer_bench.py PROGRAM [--rounds N] [--starts N] [--skip-large]

Run `npm ci --prefix bench/peer --no-audit --no-fund` once first. Figures are medians of
ROUNDS calls (default 30); ratios are taken within this run, so a busy machine moves both
sides alike. The peer takes no lock and keeps no version checks; the program does both.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PEER = ["node", os.path.join(HERE, "peer", "server.js")]
FOLDERS = ["Work", "Reading", "Recipes", "Travel", "Tools", "News", "Music", "Home"]
WORDS = ["alpha", "beta", "gamma", "delta", "river", "stone", "cloud", "lamp", "paper",
         "garden", "window", "orbit", "pepper", "violin", "harbor", "maple"]
INITIALIZE = {"jsonrpc": "2.0", "id": 0, "method": "initialize",
              "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                         "clientInfo": {"name": "peer-bench", "version": "0.1.0"}}}


def bookmark(n, full):
    words = [WORDS[(n * k + 3) % len(WORDS)] for k in range(1, 5)]
    note = " ".join(words * 10)
    tags = words[:3]
    if full:  # every member at its limit: 4000-byte note, 20 tags of 80 bytes
        note = (note + " ") * (4000 // (len(note) + 1)) + "x" * (4000 % (len(note) + 1))
        tags = [f"{w}-{i}".ljust(80, "t") for i, w in enumerate(words * 5)]
    return {"archived": n % 10 == 0, "createdAt": 1_700_000_000 + n,
            "folder": FOLDERS[n % len(FOLDERS)], "id": f"bookmark-{1_700_000_000_000_000_000 + n}-4242",
            "note": note, "tags": tags, "title": f"{words[0].title()} {words[1]} page {n}",
            "updatedAt": 1_700_000_000 + n, "url": f"https://{words[2]}{n}.example/{words[3]}/{n}",
            "version": 1}


def bill(n):
    providers = ["ACME Power", "Northwind Water", "Contoso Telecom", "Fabrikam Gas"]
    year, month = 2000 + n // 48, (n // 4) % 12 + 1
    return {"title": f"Bill {n}", "provider": providers[n % 4], "accountLabel": f"Account {n % 7}",
            "periodStart": f"{year}-{month:02d}-01", "periodEnd": f"{year}-{month:02d}-28",
            "dueDate": f"{year}-{month:02d}-28", "amountMinor": 1000 + (n * 7919) % 500000,
            "currency": "EUR", "invoiceReference": f"INV-{n:06d}", "note": "Monthly statement " * 4}


def write_store(path, records, app):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"app": app, "records": records, "schema": 1, "undo": None}, f, indent=2,
                  sort_keys=True, ensure_ascii=False)


class Server:
    def __init__(self, command, env):
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=env)
        self.next_id = 0

    def request(self, message):
        self.proc.stdin.write((json.dumps(message) + "\n").encode())
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise SystemExit(f"{message['method']}: no answer")
        answer = json.loads(line)
        if "error" in answer or answer["result"].get("isError"):
            raise SystemExit(f"{message['method']}: {line[:300]!r}")
        return answer

    def call(self, tool, args):
        self.next_id += 1
        start = time.perf_counter()
        self.request({"jsonrpc": "2.0", "id": self.next_id, "method": "tools/call",
                      "params": {"name": tool, "arguments": args}})
        return time.perf_counter() - start

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def median_ms(seconds):
    return statistics.median(seconds) * 1000


def floor(path, rounds):
    """The durable atomic save of the store's current bytes: temp file, fsync, rename, fsync."""
    with open(path, "rb") as f:
        data = f.read()
    folder = os.path.dirname(path)
    times = []
    for n in range(rounds):
        start = time.perf_counter()
        temp = os.path.join(folder, f".floor-{n}.tmp")
        fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        os.write(fd, data)
        os.fsync(fd)
        os.close(fd)
        os.rename(temp, path)
        dfd = os.open(folder, os.O_RDONLY)
        os.fsync(dfd)
        os.close(dfd)
        times.append(time.perf_counter() - start)
    return median_ms(times)


def line(name, ours, peer, floor_ms=None):
    text = f"{name:<44} ours {ours:9.2f} ms   peer {peer:9.2f} ms   ours/peer {ours / peer:5.2f}"
    if floor_ms:
        text += f"   floor {floor_ms:7.2f} ms   ours/floor {ours / floor_ms:5.2f}" \
                f"   peer/floor {peer / floor_ms:5.2f}"
    print(text, flush=True)


def starts(command, env, count):
    times = []
    for _ in range(count):
        start = time.perf_counter()
        server = Server(command, env)
        server.request(INITIALIZE)
        times.append(time.perf_counter() - start)
        server.close()
    return median_ms(times)


def session_saves(command, env, tool, make_args, rounds):
    server = Server(command, env)
    server.request(INITIALIZE)
    times = [server.call(tool, make_args(n)) for n in range(rounds)]
    server.close()
    return median_ms(times)


def new_page(n):
    return {"title": f"New page {n}", "url": f"https://new{n}.example/path", "folder": "Work",
            "tags": ["new", "bench"], "note": "created by the bench"}


def one_shot_ours(program, env, rounds):
    times = []
    for n in range(rounds):
        start = time.perf_counter()
        subprocess.run([program, "bookmarks", "call", "save_bookmark",
                        json.dumps(new_page(10_000 + n))], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
    return median_ms(times)


def one_shot_peer(env, rounds):
    times = []
    for n in range(rounds):
        start = time.perf_counter()
        server = Server(PEER, env)
        server.request(INITIALIZE)
        server.call("save_bookmark", new_page(10_000 + n))
        server.close()
        times.append(time.perf_counter() - start)
    return median_ms(times)


def peak_rss(command, env, request=None):
    """Peak resident size of one process, in bytes (os.wait4 gives it per child)."""
    proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, env=env)
    proc.stdin.write(request or b"")
    proc.stdin.close()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = status
    return usage.ru_maxrss * 1024


def bookmarks_figures(program, scratch, label, records, rounds):
    ours_home, peer_home = os.path.join(scratch, label, "ours"), os.path.join(scratch, label, "peer")
    ours_file = os.path.join(ours_home, "bookmarks", "records.json")
    peer_file = os.path.join(peer_home, "bookmarks", "records.json")
    write_store(ours_file, records, "bookmarks")
    write_store(peer_file, records, "bookmarks")
    ours_env = dict(os.environ, VEYMORA_DATA_HOME=ours_home, HOME=ours_home)
    ours_env.pop("LOCALAPPDATA", None)
    peer_env = dict(os.environ, PEER_DATA=peer_home)
    size = os.path.getsize(ours_file) / 1048576
    print(f"-- {label}: {len(records)} bookmarks, {size:.1f} MiB")
    ours = session_saves([program, "bookmarks"], ours_env, "save_bookmark", new_page, rounds)
    peer = session_saves(PEER, peer_env, "save_bookmark", new_page, rounds)
    line("save_bookmark in a session", ours, peer, floor(ours_file, rounds))
    ours = one_shot_ours(program, ours_env, max(5, rounds // 3))
    peer = one_shot_peer(peer_env, max(5, rounds // 3))
    line("save_bookmark one-shot (a process per call)", ours, peer, floor(ours_file, rounds))
    queries = lambda n: {"query": WORDS[n % len(WORDS)]}
    ours = session_saves([program, "bookmarks"], ours_env, "search_bookmarks", queries, rounds)
    peer = session_saves(PEER, peer_env, "search_bookmarks", queries, rounds)
    line("search_bookmarks in a session", ours, peer)


def bills_figures(program, scratch, rounds):
    prefill = 3000 - rounds
    ours_home, peer_home = os.path.join(scratch, "bills", "ours"), os.path.join(scratch, "bills", "peer")
    ours_env = dict(os.environ, VEYMORA_DATA_HOME=ours_home, HOME=ours_home,
                    XDG_CONFIG_HOME=os.path.join(ours_home, "config"))
    ours_env.pop("LOCALAPPDATA", None)
    # The program's store is protected: it is built through the program itself.
    server = Server([program, "bills"], ours_env)
    for n in range(prefill):
        server.call("save_bill", bill(n))
    server.close()
    plain = os.path.join(scratch, "bills-plain.json")
    now = 1_700_000_000
    write_store(plain, [dict(bill(n), archived=False, createdAt=now, updatedAt=now, version=1,
                             id=f"bill-{n}") for n in range(prefill)], "bills")
    peer_folder = os.path.join(peer_home, "bills")
    os.makedirs(peer_folder)
    subprocess.run(PEER + ["--seal", plain, os.path.join(peer_folder, "records.enc"),
                           os.path.join(peer_folder, "key")], check=True)
    peer_env = dict(os.environ, PEER_DATA=peer_home)
    ours_file = os.path.join(ours_home, "bills", "records.dpapi")
    print(f"-- bills: {prefill} bills, then {rounds} more; ours "
          f"{os.path.getsize(ours_file) / 1048576:.1f} MiB, peer "
          f"{os.path.getsize(os.path.join(peer_folder, 'records.enc')) / 1048576:.1f} MiB")
    new_bill = lambda n: bill(prefill + n)
    ours = session_saves([program, "bills"], ours_env, "save_bill", new_bill, rounds)
    peer = session_saves(PEER, peer_env, "save_bill", new_bill, rounds)
    line("save_bill in a session (protected)", ours, peer, floor(ours_file, rounds))


def memory_figures(program, scratch):
    home = os.path.join(scratch, "memory")
    # As many full bookmarks as make 64 MiB (the loader takes more records than the tools make).
    per_record = len(json.dumps({"records": [bookmark(0, True)]}, indent=2)) + 2
    records = [bookmark(n, True) for n in range(64 * 1048576 // per_record)]
    store = os.path.join(home, "bookmarks", "records.json")
    write_store(store, records, "bookmarks")
    size = os.path.getsize(store)
    env = dict(os.environ, VEYMORA_DATA_HOME=home, HOME=home, PEER_DATA=home)
    env.pop("LOCALAPPDATA", None)
    call = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call",
                       "params": {"name": "get_storage_info", "arguments": {}}}).encode() + b"\n"
    ours = peak_rss([program, "bookmarks"], env, call)
    search = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call",
                         "params": {"name": "search_bookmarks", "arguments": {}}}).encode() + b"\n"
    peer = peak_rss(PEER, env, json.dumps(INITIALIZE).encode() + b"\n" + search)
    print(f"-- memory: loading a {size / 1048576:.1f} MiB store")
    print(f"{'peak memory over file size':<44} ours {ours / size:9.2f}      peer {peer / size:9.2f}",
          flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program")
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--starts", type=int, default=30)
    parser.add_argument("--skip-large", action="store_true")
    options = parser.parse_args()
    program = os.path.abspath(options.program)
    if not os.path.isdir(os.path.join(HERE, "peer", "node_modules")):
        raise SystemExit("run: npm ci --prefix bench/peer --no-audit --no-fund")
    with tempfile.TemporaryDirectory() as scratch:
        env = dict(os.environ, VEYMORA_DATA_HOME=scratch, HOME=scratch, PEER_DATA=scratch)
        line("start to initialize answered", starts([program, "bookmarks"], env, options.starts),
             starts(PEER, env, options.starts))
        bookmarks_figures(program, scratch, "4900 bookmarks",
                          [bookmark(n, False) for n in range(4900)], options.rounds)
        if not options.skip_large:
            bookmarks_figures(program, scratch, "4900 full bookmarks",
                              [bookmark(n, True) for n in range(4900)], options.rounds)
        bills_figures(program, scratch, options.rounds)
        if not options.skip_large:
            memory_figures(program, scratch)


if __name__ == "__main__":
    sys.exit(main())
