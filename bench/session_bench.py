#!/usr/bin/env python3
"""Whole-process figures of a session: start to `initialize` answered, then the latency of
`tools/list` and `get_storage_info` within one session. Prints figures; asserts nothing.

Usage: bench/session_bench.py PROGRAM [--app APP] [--starts N] [--requests N]

Each run gets a fresh data home and user home in a temporary folder.
"""
import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

INITIALIZE = {"jsonrpc": "2.0", "id": 1, "method": "initialize",
              "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                         "clientInfo": {"name": "session-bench", "version": "0.1.0"}}}


def line(message):
    return (json.dumps(message, separators=(",", ":")) + "\n").encode("utf-8")


def environment(scratch):
    env = dict(os.environ)
    for name in ("VEYMORA_DATA_HOME", "LOCALAPPDATA", "XDG_DATA_HOME", "XDG_CONFIG_HOME"):
        env.pop(name, None)
    data = os.path.join(scratch, "data")
    home = os.path.join(scratch, "home")
    os.makedirs(data, exist_ok=True)
    os.makedirs(home, exist_ok=True)
    env["VEYMORA_DATA_HOME"] = data
    env["HOME"] = home
    return env


def start(program, app, env):
    return subprocess.Popen([program, app], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=env)


def answer(proc, request):
    proc.stdin.write(line(request))
    proc.stdin.flush()
    response = proc.stdout.readline()
    if not response.endswith(b"\n"):
        raise SystemExit(f"no answer to {request['method']}")
    message = json.loads(response)
    if "error" in message or message["result"].get("isError"):
        raise SystemExit(f"{request['method']} failed: {response!r}")
    return message


def finish(proc):
    proc.stdin.close()
    proc.stdout.read()
    proc.wait()


def children_cpu_ns():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return int((usage.ru_utime + usage.ru_stime) * 1e9)


def summary(name, samples_ns):
    ms = sorted(s / 1e6 for s in samples_ns)
    p95 = ms[min(len(ms) - 1, int(round(0.95 * (len(ms) - 1))))]
    print(f"{name:<44} n={len(ms):<5} median {statistics.median(ms):8.3f} ms"
          f"   p95 {p95:8.3f} ms   min {ms[0]:8.3f} ms   max {ms[-1]:8.3f} ms")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program")
    parser.add_argument("--app", action="append",
                        help="app to measure (repeatable; default bookmarks and bills)")
    parser.add_argument("--starts", type=int, default=200, help="process starts per app")
    parser.add_argument("--requests", type=int, default=500,
                        help="requests of each kind within one session")
    args = parser.parse_args()
    program = os.path.abspath(args.program)
    apps = args.app or ["bookmarks", "bills"]

    print(f"program: {program}")
    with tempfile.TemporaryDirectory(prefix="vft-session-bench-") as scratch:
        for app in apps:
            # Start to initialize answered: spawn, send, read the answer, then let it end.
            # CPU time of the whole short-lived process does not depend on how busy the
            # machine is, unlike the wall-clock figure.
            starts, cpu = [], []
            for i in range(args.starts):
                env = environment(os.path.join(scratch, f"{app}-start-{i}"))
                cpu_before = children_cpu_ns()
                began = time.perf_counter_ns()
                proc = start(program, app, env)
                answer(proc, INITIALIZE)
                starts.append(time.perf_counter_ns() - began)
                finish(proc)
                cpu.append(children_cpu_ns() - cpu_before)
            summary(f"{app}: start to initialize answered", starts)
            summary(f"{app}: CPU time of start+initialize+exit", cpu)

            # Request latency within one session, each request answered before the next.
            env = environment(os.path.join(scratch, f"{app}-session"))
            cpu_before = children_cpu_ns()
            proc = start(program, app, env)
            answer(proc, INITIALIZE)
            proc.stdin.write(line({"jsonrpc": "2.0", "method": "notifications/initialized"}))
            lists, infos = [], []
            for i in range(args.requests):
                began = time.perf_counter_ns()
                answer(proc, {"jsonrpc": "2.0", "id": 2 + i, "method": "tools/list"})
                lists.append(time.perf_counter_ns() - began)
            call = {"name": "get_storage_info", "arguments": {}}
            for i in range(args.requests):
                began = time.perf_counter_ns()
                answer(proc, {"jsonrpc": "2.0", "id": 10_000 + i, "method": "tools/call",
                              "params": call})
                infos.append(time.perf_counter_ns() - began)
            finish(proc)
            session_cpu = children_cpu_ns() - cpu_before
            summary(f"{app}: tools/list", lists)
            summary(f"{app}: tools/call get_storage_info", infos)
            print(f"{app + ': CPU time per request (session average)':<44} "
                  f"{session_cpu / 1e6 / (2 * args.requests):.3f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
