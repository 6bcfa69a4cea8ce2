#!/usr/bin/env python3
"""render_edit against the same FFmpeg command run by hand.

Usage: media_bench.py PROGRAM [ROUNDS]

Makes a 10-second 1280x720 clip with sound (the host's ffmpeg, lavfi sources), imports it
and saves a 1280x720 edit of the whole clip with a speed ramp. One render through a
recording wrapper captures the exact argument list the program passes to FFmpeg; then, in
one session, ROUNDS (default 3) renders through the tool alternate with the same command
run directly. The tool's figure is the whole tools/call round trip: source fingerprint,
the FFmpeg run with its 100 ms polling, the probe and fingerprint of the output, the save.
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


def main():
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    program = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    ffmpeg = shutil.which("ffmpeg")
    if ffmpeg is None:
        raise SystemExit("needs ffmpeg on PATH")
    with tempfile.TemporaryDirectory() as home:
        clip, env, recorded = media_bench_home(home, ffmpeg, '-filter_complex',
                                               ["-c:v", "libx264", "-preset", "veryfast", "-c:a", "aac"])

        session = Session(program, "media", env)
        _, imported = session.call("import_video", {"title": "Bench", "path": clip})
        project = imported["project"]
        _, saved = session.call("save_edit", {
            "id": project["id"], "expectedVersion": 1, "name": "Ramp",
            "timeline": {"ramp": {"start": 2, "peak": 5, "end": 8, "minSpeed": 0.5}}})
        version = saved["projectVersion"]
        edit = saved["edit"]["id"]

        def render(name):
            nonlocal version
            elapsed, done = session.call("render_edit", {
                "id": project["id"], "expectedVersion": version, "editId": edit,
                "destinationPath": os.path.join(home, name)})
            version = done["projectVersion"]
            return elapsed

        render("record.mp4")
        session.close()
        with open(recorded) as f:
            args = json.load(f)
        env["VEYMORA_FFMPEG"] = ffmpeg
        session = Session(program, "media", env)

        tool, by_hand = [], []
        for n in range(rounds):
            tool.append(render(f"tool-{n}.mp4"))
            command = [ffmpeg] + args[:-1] + [os.path.join(home, f"hand-{n}.mp4")]
            start = time.perf_counter()
            subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True)
            by_hand.append(time.perf_counter() - start)
        session.close()

    tool_ms = statistics.median(tool) * 1000
    hand_ms = statistics.median(by_hand) * 1000
    print(f"render_edit, 10 s 1280x720 with ramp   median {tool_ms:9.1f} ms  (n={rounds})")
    print(f"same ffmpeg command by hand            median {hand_ms:9.1f} ms  (n={rounds})")
    print(f"overhead                               {100 * (tool_ms - hand_ms) / hand_ms:+9.1f} %")


if __name__ == "__main__":
    main()
