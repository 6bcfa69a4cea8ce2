"""What the app latency benchmarks share: a timed session and a figure line."""
import json
import statistics
import subprocess
import time


class Session:
    """One server process for APP; call() times one tools/call round trip."""

    def __init__(self, program, app, env):
        command = ["wine64", program] if program.lower().endswith(".exe") else [program]
        self.proc = subprocess.Popen(command + [app], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, env=env)
        self.next_id = 0

    def call(self, tool, args, expect_error=False):
        self.next_id += 1
        line = json.dumps({"jsonrpc": "2.0", "id": self.next_id, "method": "tools/call",
                           "params": {"name": tool, "arguments": args}})
        start = time.perf_counter()
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()
        response = self.proc.stdout.readline()
        elapsed = time.perf_counter() - start
        result = json.loads(response)["result"]
        if result["isError"] != expect_error:
            raise SystemExit(f"{tool}: {result['content'][0]['text']}")
        return elapsed, result.get("structuredContent")

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def report(name, seconds):
    ms = sorted(s * 1000 for s in seconds)
    p95 = ms[min(len(ms) - 1, int(len(ms) * 0.95))]
    print(f"{name:<50} n={len(ms):<4} median {statistics.median(ms):8.2f} ms   "
          f"p95 {p95:8.2f} ms   max {ms[-1]:8.2f} ms", flush=True)
