"""What the app latency benchmarks share: a timed session and a figure line."""
import json
import os
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


def media_bench_home(home, ffmpeg, marker, clip_args):
    """A 10-second 1280x720 clip with sound in HOME (clip_args: its encoder's options), and
    the environment of a media app whose FFmpeg records, as JSON in the returned path, the
    arguments of the run whose command line holds MARKER, then runs FFmpeg itself.
    Returns (clip, env, recorded)."""
    clip = os.path.join(home, "clip.mp4")
    subprocess.run([ffmpeg, "-hide_banner", "-loglevel", "error", "-nostdin",
                    "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=24:duration=10",
                    "-f", "lavfi", "-i", "sine=frequency=440:duration=10",
                    *clip_args, "-shortest", clip], check=True)
    recorded = os.path.join(home, "args.json")
    wrapper = os.path.join(home, "record-ffmpeg")
    with open(wrapper, "w") as f:
        f.write("#!/usr/bin/env python3\nimport json, os, sys\n"
                f"if {marker!r} in sys.argv:\n"
                f"    json.dump(sys.argv[1:], open({recorded!r}, 'w'))\n"
                f"os.execv({ffmpeg!r}, [{ffmpeg!r}] + sys.argv[1:])\n")
    os.chmod(wrapper, 0o755)
    env = dict(os.environ, VEYMORA_DATA_HOME=home, VEYMORA_FFMPEG=wrapper)
    env.pop("LOCALAPPDATA", None)
    return clip, env, recorded


def report(name, seconds):
    ms = sorted(s * 1000 for s in seconds)
    p95 = ms[min(len(ms) - 1, int(len(ms) * 0.95))]
    print(f"{name:<50} n={len(ms):<4} median {statistics.median(ms):8.2f} ms   "
          f"p95 {p95:8.2f} ms   max {ms[-1]:8.2f} ms", flush=True)
