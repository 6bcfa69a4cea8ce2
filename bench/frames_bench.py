#!/usr/bin/env python3
"""preview_edit_frames against the same FFmpeg command run by hand.

Usage: frames_bench.py PROGRAM [ROUNDS]

Makes a 10-second 1280x720 clip with sound and a key frame every 2 seconds, as cameras and
phones write them (the host's ffmpeg, lavfi sources), imports it
and saves an edit. One call through a recording wrapper captures the exact argument list the
program passes to FFmpeg for six frames 320 pixels wide; then, in one session, ROUNDS
(default 10) calls of the tool alternate with the same command run directly, its JPEGs read
from a pipe. The tool's figure is the whole tools/call round trip: the store read, the
source fingerprint, the FFmpeg run, the JPEGs split and encoded into the answer.
"""
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from benchlib import Session, media_bench_home

TIMES = [0.5, 2, 4.25, 6, 8, 10]


def main():
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    program = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    ffmpeg = shutil.which("ffmpeg")
    if ffmpeg is None:
        raise SystemExit("needs ffmpeg on PATH")
    with tempfile.TemporaryDirectory() as home:
        clip, env, recorded = media_bench_home(home, ffmpeg, 'image2pipe',
                                               ["-c:v", "libx264", "-preset", "veryfast", "-g", "48", "-c:a", "aac"])

        session = Session(program, "media", env)
        _, imported = session.call("import_video", {"title": "Bench", "path": clip})
        project = imported["project"]
        _, saved = session.call("save_edit", {"id": project["id"], "expectedVersion": 1,
                                              "name": "Whole", "timeline": {}})
        args = {"id": project["id"], "editId": saved["edit"]["id"], "times": TIMES,
                "width": 320}
        session.call("preview_edit_frames", args)
        session.close()
        with open(recorded) as f:
            command = [ffmpeg] + json.load(f)
        env["VEYMORA_FFMPEG"] = ffmpeg
        session = Session(program, "media", env)

        tool, by_hand = [], []
        for _ in range(rounds):
            elapsed, answer = session.call("preview_edit_frames", args)
            assert len(answer["frames"]) == len(TIMES)
            tool.append(elapsed)
            start = time.perf_counter()
            done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                                  check=True)
            by_hand.append(time.perf_counter() - start)
            assert done.stdout.count(b"\xff\xd9") >= len(TIMES)
        session.close()

    tool_ms = statistics.median(tool) * 1000
    hand_ms = statistics.median(by_hand) * 1000
    print(f"preview_edit_frames, 6 frames 320x180 of 1280x720   median {tool_ms:8.1f} ms  "
          f"(n={rounds})")
    print(f"same ffmpeg command by hand                         median {hand_ms:8.1f} ms  "
          f"(n={rounds})")
    print(f"ratio                                               {tool_ms / hand_ms:8.2f} x")


if __name__ == "__main__":
    main()
