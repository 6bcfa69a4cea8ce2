"""The media app: the renderer setting and runner, import with fingerprints and duplicates,
edits, renders that never overwrite and leave nothing behind, and progress notifications.

Clips are made once per run by the host's FFmpeg from its lavfi sources. On Linux the
program renders with the ffmpeg on PATH; under Wine with the Windows build that
tests/e2e/ffmpeg-win installs (npm). Fake ffmpeg programs are shell scripts (Linux only)."""
import base64
import errno
import hashlib
import json
import os
import shutil
import stat
import subprocess
import time

import pytest

from conftest import TIMEOUT, TOOLS_DIR, WINE, linux_only_because

HOST_FFMPEG = shutil.which("ffmpeg")
WINDOWS_FFMPEG = os.path.join(os.path.dirname(__file__), "ffmpeg-win", "node_modules",
                              "@ffmpeg-installer", "win32-x64", "ffmpeg.exe")
NAME = "ffmpeg.exe" if WINE else "ffmpeg"
CHOOSE_FFMPEG = f"Choose the absolute path to an existing {NAME}"
UNAVAILABLE = ("FFmpeg is unavailable. Install FFmpeg separately, then use configure_renderer "
               "with its absolute executable path. No download is performed automatically.")
TIMED_OUT = "Render exceeded 120 seconds; use a shorter or smaller edit"
STALE = ("The original source changed; import it as a new project instead of rendering "
         "against stale media")
BAD_DESTINATION = "Choose an absolute new MP4 path in an existing folder"
EXISTS = "Destination already exists; exports never overwrite"

needs_ffmpeg = pytest.mark.skipif(
    HOST_FFMPEG is None or (WINE and not os.path.exists(WINDOWS_FFMPEG)),
    reason="needs the host's ffmpeg (and under Wine, npm ci in tests/e2e/ffmpeg-win)")
fake_ffmpeg = linux_only_because("fake ffmpeg programs are shell scripts")


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    """A 10-second clip with sound and a 2-second silent one, 320x240."""
    if HOST_FFMPEG is None:
        pytest.skip("needs the host's ffmpeg")
    folder = tmp_path_factory.mktemp("clips")
    made = {"sound": folder / "sound.mp4", "silent": folder / "silent.MKV"}
    lavfi = ["-f", "lavfi", "-i", "testsrc=size=320x240:rate=24:duration={}"]
    for name, seconds, audio in (("sound", 10, True), ("silent", 2, False)):
        args = [HOST_FFMPEG, "-hide_banner", "-loglevel", "error", "-nostdin"]
        args += [a.format(seconds) for a in lavfi]
        if audio:
            args += ["-f", "lavfi", "-i", f"sine=frequency=440:duration={seconds}", "-c:a", "aac"]
        args += ["-c:v", "libx264", "-preset", "ultrafast", "-shortest", str(made[name])]
        subprocess.run(args, check=True, timeout=60)
    return made


def renderer_env(vft):
    env = dict(vft.env)
    if WINE:
        env["VEYMORA_FFMPEG"] = vft.path(WINDOWS_FFMPEG)
        # Its first start under a fresh HOME (Wine's setup of the user's session) takes
        # longer than the program's 10-second version check; that is Wine's, not ours.
        subprocess.run(["wine64", WINDOWS_FFMPEG, "-version"], env=env, capture_output=True,
                       timeout=TIMEOUT, check=True)
    return env


def ffprobe(path):
    done = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                           "stream=codec_name,codec_type,width,height:format=duration",
                           "-of", "json", str(path)], capture_output=True, check=True, timeout=60)
    info = json.loads(done.stdout)
    video = [s for s in info["streams"] if s["codec_type"] == "video"]
    audio = [s for s in info["streams"] if s["codec_type"] == "audio"]
    return video[0], audio, float(info["format"]["duration"])


def fake(folder, body, name="ffmpeg"):
    """An executable shell script standing in for FFmpeg, in a folder of its own."""
    folder.mkdir(exist_ok=True)
    path = folder / name
    path.write_text("#!/bin/sh\n" + body)
    path.chmod(path.stat().st_mode | stat.S_IXUSR)
    return path


def leftovers(folder, prefix):
    return sorted(p.name for p in folder.iterdir() if p.name.startswith(prefix))


def import_clip(vft, path, env, title="Clip"):
    return vft.ok("media", "import_video", {"title": title, "path": vft.path(path)}, env=env)


def save_edit(vft, project, timeline, env=None, name="Cut"):
    return vft.ok("media", "save_edit", {"id": project["id"], "expectedVersion":
                                         project["version"], "name": name,
                                         "timeline": timeline}, env=env)


def render_args(vft, saved, destination, **extra):
    return dict({"id": saved["projectId"], "expectedVersion": saved["projectVersion"],
                 "editId": saved["edit"]["id"], "destinationPath": vft.path(destination)},
                **extra)


@needs_ffmpeg
def test_import_edit_and_preview_render(vft, clips, tmp_path):
    env = renderer_env(vft)
    if not WINE:  # Wine's start of the 64 MB Windows build can outlast the 10-second check
        status = vft.ok("media", "get_renderer_status", env=env)
        assert status["available"] is True and status["downloaded"] is False

    imported = import_clip(vft, clips["sound"], env)
    project = imported["project"]
    assert imported["duplicate"] is False and imported["originalUnchanged"] is True
    assert project["media"] == {"duration": 10.0, "width": 320, "height": 240, "hasAudio": True}
    assert project["edits"] == [] and project["exports"] == [] and project["version"] == 1
    again = import_clip(vft, clips["sound"], env)
    assert again == {"duplicate": True, "project": project}

    # A 1920x1080 preview of a 9-second trim: 640x360, its first 8 seconds.
    saved = save_edit(vft, project, {"start": 1, "width": 1920, "height": 1080, "zoom": 1.2})
    destination = tmp_path / "preview.MP4"
    done = vft.ok("media", "render_edit", render_args(vft, saved, destination, preview=True),
                  env=env)
    receipt = done["export"]
    assert done["projectVersion"] == 3
    video, audio, duration = ffprobe(destination)
    assert (video["codec_name"], video["width"], video["height"]) == ("h264", 640, 360)
    # The 2018 Windows build's fps filter lets the video run up to a second longer.
    assert audio and abs(duration - 8) < (1.1 if WINE else 0.3)
    assert receipt["preview"] is True and receipt["approximateExpectedDuration"] == 8
    assert receipt["media"]["width"] == 640 and receipt["media"]["hasAudio"] is True
    assert receipt["path"] == vft.path(destination) and receipt["sourceUnchanged"] is True
    assert leftovers(tmp_path, "media-export") == []
    assert leftovers(vft.folder("media"), "render") == []
    stored = vft.ok("media", "get_project", {"id": project["id"]})
    assert stored["exports"] == [receipt] and stored["edits"] == [saved["edit"]]


@needs_ffmpeg
@linux_only_because("renders every kind of edit with the host's ffmpeg; Wine renders a preview")
def test_renders_ramps_and_silence_and_refuses_stale_input(vft, clips, tmp_path):
    env = renderer_env(vft)
    project = import_clip(vft, clips["sound"], env)["project"]
    ramp = {"start": 0, "end": 4, "speed": 2, "width": 320, "height": 240, "volume": 0.5,
            "ramp": {"start": 1, "peak": 2, "end": 3, "minSpeed": 0.5}}
    saved = save_edit(vft, project, ramp)
    out = tmp_path / "ramp.mp4"
    receipt = vft.ok("media", "render_edit", render_args(vft, saved, out))["export"]
    video, audio, duration = ffprobe(out)
    assert (video["codec_name"], video["width"], video["height"]) == ("h264", 320, 240)
    # 32 parts, each cut to whole frames: near the expected length, not exactly it.
    assert audio and abs(duration - receipt["approximateExpectedDuration"]) < 1
    assert receipt["sha256"] == hashlib.sha256(out.read_bytes()).hexdigest()

    # Refusals before FFmpeg runs: nothing written, no version change.
    args = render_args(vft, saved, out)
    args["expectedVersion"] = 3
    assert vft.err("media", "render_edit", args) == EXISTS
    for bad in ("relative.mp4", str(tmp_path / "missing" / "x.mp4"), str(tmp_path / "x.mov")):
        args["destinationPath"] = bad
        assert vft.err("media", "render_edit", args) == BAD_DESTINATION
    args["destinationPath"] = str(tmp_path / "new.mp4")
    args["editId"] = "edit-0-0"
    assert vft.err("media", "render_edit", args) == "Edit not found"

    silent = import_clip(vft, clips["silent"], env)["project"]
    assert silent["media"]["hasAudio"] is False and silent["media"]["duration"] == 2.0
    saved = save_edit(vft, silent, {"width": 160, "height": 160, "muted": True})
    vft.ok("media", "render_edit", render_args(vft, saved, tmp_path / "silent.mp4"))
    video, audio, _ = ffprobe(tmp_path / "silent.mp4")
    assert (video["width"], video["height"], audio) == (160, 160, [])

    changed = tmp_path / "changed.mp4"
    # Another source (a trailing byte more), which a byte changed later makes stale.
    (tmp_path / "changed.mkv").write_bytes(clips["silent"].read_bytes() + b"\0")
    copy = import_clip(vft, tmp_path / "changed.mkv", env)["project"]
    saved = save_edit(vft, copy, {"width": 160, "height": 160})
    with open(tmp_path / "changed.mkv", "r+b") as f:
        f.seek(100)
        f.write(b"\0")
    assert vft.err("media", "render_edit", render_args(vft, saved, changed)) == STALE
    os.remove(tmp_path / "changed.mkv")
    assert vft.err("media", "render_edit",
                   render_args(vft, saved, changed)) == "No such file or directory"
    assert not changed.exists() and leftovers(tmp_path, "media-export") == []
    assert vft.ok("media", "get_project", {"id": copy["id"]})["version"] == 2


@fake_ffmpeg
def test_failed_render_leaves_no_temporary_output(vft, clips, tmp_path):
    # Describes the input like FFmpeg; a render writes part of its output, then fails.
    script = fake(tmp_path / "fake", f"""
case "$*" in
  *-filter_complex*)
    for last; do :; done
    echo partial > "$last"
    i=0; while [ $i -lt 300 ]; do echo "line $i of a long complaint" >&2; i=$((i+1)); done
    printf 'Conversion failed for Caf\\351!\\n' >&2
    exit 1 ;;
esac
exec {HOST_FFMPEG} "$@"
""")
    env = dict(vft.env, VEYMORA_FFMPEG=str(script))
    project = import_clip(vft, clips["silent"], env)["project"]
    saved = save_edit(vft, project, {"width": 160, "height": 160})
    message = vft.err("media", "render_edit", render_args(vft, saved, tmp_path / "x.mp4"),
                      env=env)
    prefix = "FFmpeg could not render this edit: "
    # Its text in another encoding is shown with replacement characters.
    assert message.startswith(prefix)
    assert message.endswith("complaint\nConversion failed for Caf\ufffd!\n")
    assert len(message) == len(prefix) + 1400
    assert leftovers(tmp_path, "media-export") == [] and not (tmp_path / "x.mp4").exists()
    assert vft.ok("media", "get_project", {"id": project["id"]})["exports"] == []


@fake_ffmpeg
def test_renderer_setting_and_version_check(vft, tmp_path):
    failing = fake(tmp_path / "fake", "echo broken >&2\nexit 1\n")
    assert vft.err("media", "configure_renderer", {"path": str(failing)}) == (
        "FFmpeg version check failed")
    assert not vft.store_file("media").exists()
    env = dict(vft.env, VEYMORA_FFMPEG=str(failing))
    status = vft.ok("media", "get_renderer_status", env=env)
    assert status == {"available": False, "path": str(failing), "setup": (
        "Install FFmpeg separately and configure its absolute ffmpeg path. H.264 exports "
        "require a build with libx264 and AAC support.")}
    env["VEYMORA_FFMPEG"] = str(tmp_path / "nowhere" / "ffmpeg")
    assert vft.ok("media", "get_renderer_status", env=env)["available"] is False

    for bad in ("ffmpeg", str(tmp_path), str(fake(tmp_path / "fake", "exit 0\n", "ffmpeg.sh"))):
        assert vft.err("media", "configure_renderer", {"path": bad}) == CHOOSE_FFMPEG
    working = fake(tmp_path / "ok", "exit 0\n", "FFMPEG")
    assert vft.ok("media", "configure_renderer", {"path": str(working)}) == {
        "configured": True, "path": str(working)}
    # The stored setting wins over the environment.
    assert vft.ok("media", "get_renderer_status", env=env)["path"] == str(working)
    assert vft.read_store("media")["rendererPath"] == str(working)


@fake_ffmpeg
def test_probe_reads_the_banner(vft, tmp_path):
    banner = tmp_path / "banner.txt"
    script = fake(tmp_path / "fake", f'cat "{banner}" >&2\nexit 1\n')
    env = dict(vft.env, VEYMORA_FFMPEG=str(script))
    source = tmp_path / "take.MOV"
    source.write_bytes(b"not really a movie")
    banner.write_text(
        "Input #0, mov,mp4,m4a,3gp,3g2,mj2, from 'take.MOV':\n"
        "  Duration: 00:20:00.00, start: 0.000000, bitrate: 2 kb/s\n"
        "  Stream #0:0[0x1](und): Video: h264 (avc1 / 0x31637661), yuv420p, 1280x720, 24 fps\n"
        "At least one output file must be specified\n")
    project = import_clip(vft, source, env)["project"]
    assert project["media"] == {"duration": 1200.0, "width": 1280, "height": 720,
                                "hasAudio": False}
    source.write_bytes(b"another movie")
    banner.write_text("  Duration: N/A, bitrate: N/A\n  Stream #0:0: Video: h264, 320x240\n")
    assert vft.err("media", "import_video", {"title": "T", "path": str(source)}, env=env) == (
        "Could not read a finite video duration")
    assert len(vft.read_store("media")["records"]) == 1
    env["VEYMORA_FFMPEG"] = str(tmp_path / "nowhere")
    assert vft.err("media", "import_video", {"title": "T", "path": str(source)},
                   env=env) == UNAVAILABLE
    assert sorted(os.listdir(vft.folder("media"))) == ["records.json", "records.lock"]


@fake_ffmpeg
def test_time_out_kills_the_renderer_and_what_it_started(vft, tmp_path):
    pids = tmp_path / "pids"
    # The script and a child of its own: both must be gone when the call returns.
    # With their start times: a busy machine soon gives a dead process's id to another.
    script = fake(tmp_path / "fake", f"""sleep 300 &
for pid in $$ $!; do echo $pid $(cut -d' ' -f22 /proc/$pid/stat); done > "{pids}"
wait
""")
    assert vft.err("media", "configure_renderer", {"path": str(script)}) == TIMED_OUT
    started = [line.split() for line in pids.read_text().splitlines()]
    # Gone, or a zombie that init (not we) has yet to reap.
    assert len(started) == 2 and not any(alive(*pair) for pair in started)
    assert leftovers(vft.folder("media"), "render") == []
    assert not vft.store_file("media").exists()


@fake_ffmpeg
def test_progress_notifications_only_when_asked(vft, clips, tmp_path):
    release = tmp_path / "release"
    # A render that has done 1.5 seconds and waits for the test before it goes on.
    script = fake(tmp_path / "fake", f"""
case "$*" in
  *-filter_complex*)
    echo "frame=36 fps=0.0 q=0.0 size=0kB time=00:00:01.50 bitrate=1kbits/s speed=1x" >&2
    while [ ! -e "{release}" ]; do sleep 0.05; done ;;
esac
exec {HOST_FFMPEG} "$@"
""")
    env = dict(vft.env, VEYMORA_FFMPEG=str(script))
    project = import_clip(vft, clips["silent"], env)["project"]
    saved = save_edit(vft, project, {"width": 160, "height": 160})
    session = vft.session("media", env=env)
    session.send({"jsonrpc": "2.0", "id": 7, "method": "tools/call", "params": {
        "name": "render_edit", "_meta": {"progressToken": "tok"},
        "arguments": render_args(vft, saved, tmp_path / "a.mp4")}})
    note = session.read_line()
    assert note == {"jsonrpc": "2.0", "method": "notifications/progress", "params": {
        "progressToken": "tok", "progress": 1.5, "total": 2.0, "message": "Rendering"}}
    release.touch()
    response = session.read_line()
    while "method" in response:  # more notifications may have gone out meanwhile
        assert response["params"]["progress"] > 1.5
        response = session.read_line()
    assert response["id"] == 7 and response["result"]["isError"] is False

    # Without a token the response is the only line.
    session.call("render_edit", render_args(vft, dict(saved, projectVersion=3),
                                            tmp_path / "b.mp4"), id=8)
    out, err, code = session.close()
    assert (out, err, code) == (b"", b"", 0)


def alive(pid, started):
    """Whether the process that started at that tick still runs (ids are soon reused)."""
    try:
        fields = open(f"/proc/{pid}/stat").read().rsplit(") ", 1)[1].split()
    except FileNotFoundError:
        return False
    return fields[19] == started and fields[0] != "Z"


@needs_ffmpeg
def test_latin1_metadata_imports_and_renders(vft, tmp_path):
    # FFmpeg prints the title's bytes as they are: here one that is not UTF-8.
    source = tmp_path / "cafe.mkv"
    subprocess.run([HOST_FFMPEG, "-hide_banner", "-loglevel", "error", "-nostdin", "-f", "lavfi",
                    "-i", "testsrc=size=160x120:rate=24:duration=2", "-metadata",
                    b"title=Caf\xe9", "-c:v", "libx264", "-preset", "ultrafast", str(source)],
                   check=True, timeout=60)
    env = renderer_env(vft)
    project = import_clip(vft, source, env)["project"]
    assert project["media"] == {"duration": 2.0, "width": 160, "height": 120,
                                "hasAudio": False}
    saved = save_edit(vft, project, {"width": 160, "height": 160})
    out = tmp_path / "out.mp4"
    receipt = vft.ok("media", "render_edit", render_args(vft, saved, out), env=env)["export"]
    assert receipt["media"]["width"] == 160 and out.exists()
    assert leftovers(tmp_path, "media-export") == []
    assert leftovers(vft.folder("media"), "render") == []


@fake_ffmpeg
def test_commit_takes_only_a_new_regular_file(vft, clips, tmp_path):
    pids = tmp_path / "pids"
    victim = tmp_path / "victim.mp4"
    victim.write_bytes(clips["silent"].read_bytes())
    how = tmp_path / "how"
    # A render that leaves a link to another file (or a second name of it) as its output.
    script = fake(tmp_path / "fake", f"""
case "$*" in
  *-filter_complex*)
    echo $$ $(cut -d' ' -f22 /proc/$$/stat) >> "{pids}"
    for last; do :; done
    case "$(cat "{how}")" in
      mkdir) mkdir "$last" && echo part > "$last/piece" && ln -s "{victim}" "$last/link" ;;
      cp) cp "{victim}" "$last" ;;
      *) $(cat "{how}") "{victim}" "$last" ;;
    esac
    exit 0 ;;
esac
exec {HOST_FFMPEG} "$@"
""")
    env = dict(vft.env, VEYMORA_FFMPEG=str(script))
    project = import_clip(vft, clips["sound"], env)["project"]
    saved = save_edit(vft, project, {"width": 160, "height": 160})
    before = victim.read_bytes()
    out = tmp_path / "out.mp4"
    # A link to another file, a second name of it, or a folder (with a link in it).
    for link in ("ln -s", "ln", "mkdir"):
        how.write_text(link)
        assert vft.err("media", "render_edit", render_args(vft, saved, out), env=env) == (
            "The renderer did not leave a new regular file as its output")
        assert not out.exists() and not out.is_symlink()
        assert leftovers(tmp_path, "media-export") == []
        assert leftovers(vft.folder("media"), "render") == []
    assert victim.read_bytes() == before and victim.stat().st_nlink == 1
    # A good output whose commit (the link to the destination) fails leaves nothing either.
    how.write_text("cp")
    faulted = dict(env, LD_PRELOAD=os.path.join(TOOLS_DIR, "libvft_faults.so"),
                   VFT_FAULT_ROOT=str(tmp_path), VFT_FAULT_CALL="link", VFT_FAULT_AT="1",
                   VFT_FAULT_ERRNO=str(errno.EIO),
                   ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
    assert vft.err("media", "render_edit", render_args(vft, saved, out), env=faulted) == (
        "Could not commit new output without overwriting: Input/output error")
    assert not out.exists() and leftovers(tmp_path, "media-export") == []
    assert vft.ok("media", "get_project", {"id": project["id"]})["version"] == 2
    assert not any(alive(*line.split()) for line in pids.read_text().splitlines())


@needs_ffmpeg
def test_render_removes_what_killed_renders_left(vft, clips, tmp_path):
    env = renderer_env(vft)
    project = import_clip(vft, clips["silent"], env)["project"]
    saved = save_edit(vft, project, {"width": 160, "height": 160})
    data = vft.folder("media")
    gone = 4294967295  # no process has this id, on either system
    stale_log = data / f"render-1-{gone}.log"
    stale_export = tmp_path / f"media-export-1-{gone}.mp4"
    stale_log.write_text("frame=1")
    stale_export.write_bytes(b"partial")
    # What a killed render's renderer left may be a folder (with a link in it) too.
    stale_folder = tmp_path / f"media-export-3-{gone}.mp4"
    (stale_folder / "part").mkdir(parents=True)
    # Kept: a file of another name and, on Linux (where the test's own process id is a
    # running process's), a live render's output.
    other = tmp_path / f"my-export-1-{gone}.mp4"
    other.write_bytes(b"mine")
    live = tmp_path / f"media-export-1-{os.getpid()}.mp4"
    link = tmp_path / f"media-export-2-{gone}.mp4"
    if not WINE:
        live.write_bytes(b"running")
        link.symlink_to(other.name)
        (stale_folder / "part" / "link").symlink_to(other)
    # The render itself fails: the clean-up comes first.
    env["VEYMORA_FFMPEG"] = vft.path(tmp_path / "nowhere" / NAME)
    assert vft.err("media", "render_edit", render_args(vft, saved, tmp_path / "x.mp4"),
                   env=env) == UNAVAILABLE
    assert not stale_log.exists() and not stale_export.exists() and not stale_folder.exists()
    assert other.read_bytes() == b"mine"
    assert leftovers(data, "render") == []
    if not WINE:
        assert live.exists() and not link.is_symlink()


@needs_ffmpeg
@linux_only_because("the full disk is injected with LD_PRELOAD")
def test_probe_on_a_full_data_folder_says_so(vft, clips):
    library = os.path.join(TOOLS_DIR, "libvft_faults.so")
    assert os.path.exists(library), "build the vft_faults library"
    data = vft.folder("media")
    # The first write into the data folder (the render log's) finds no space.
    env = dict(vft.env, LD_PRELOAD=library, VFT_FAULT_ROOT=str(data), VFT_FAULT_CALL="write",
               VFT_FAULT_AT="1", VFT_FAULT_ERRNO=str(errno.ENOSPC),
               ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
    assert vft.err("media", "import_video", {"title": "T", "path": str(clips["silent"])},
                   env=env) == os.strerror(errno.ENOSPC)
    assert sorted(os.listdir(data)) == ["records.lock"]


# ---- still frames for the edit view --------------------------------------------------------
FRAMES_FAILED = "FFmpeg could not take frames from this source"


def jpeg_size(data):
    """(width, height) from a baseline JPEG's frame header."""
    assert data[:2] == b"\xff\xd8"
    at = 2
    while data[at + 1] != 0xC0:
        at += 2 + int.from_bytes(data[at + 2:at + 4], "big")
    return int.from_bytes(data[at + 7:at + 9], "big"), int.from_bytes(data[at + 5:at + 7], "big")


def frames_args(saved, times, **extra):
    return dict({"id": saved["projectId"], "editId": saved["edit"]["id"], "times": times},
                **extra)


@needs_ffmpeg
def test_preview_frames_are_jpegs_in_order_and_write_nothing(vft, clips, tmp_path):
    env = renderer_env(vft)
    source = tmp_path / "clip.mp4"
    source.write_bytes(clips["sound"].read_bytes())
    saved = save_edit(vft, import_clip(vft, source, env)["project"], {"start": 1}, env=env)
    store = vft.store_file("media").read_bytes()
    session = vft.session("media", env=env)
    result = session.call("preview_edit_frames", frames_args(saved, [10, 0, 4.5]))
    assert result["isError"] is False, result["content"][0]["text"]
    shape = {"frames": [{"time": 10}, {"time": 0}, {"time": 4.5}], "width": 160, "height": 120}
    assert result["structuredContent"] == shape
    assert json.loads(result["content"][0]["text"]) == shape
    images = result["content"][1:]
    assert [i["type"] for i in images] == ["image"] * 3
    assert all(i["mimeType"] == "image/jpeg" for i in images)
    frames = [base64.b64decode(i["data"], validate=True) for i in images]
    assert [jpeg_size(f) for f in frames] == [(160, 120)] * 3
    assert frames[0] != frames[1] != frames[2]  # the clip's counter differs at each time
    wide = session.call("preview_edit_frames", frames_args(saved, [1], width=320))
    assert jpeg_size(base64.b64decode(wide["content"][1]["data"])) == (320, 240)
    assert session.close() == (b"", b"", 0)

    refusals = [({"times": []}, "times must hold 1 to 6 numbers"),
                ({"times": [1] * 7}, "times must hold 1 to 6 numbers"),
                ({"times": ["1"]}, "times must hold 1 to 6 numbers"),
                ({"times": [10.5]}, "times must be between 0 and 10"),
                ({"times": [-1]}, "times must be between 0 and 10"),
                ({"width": 81}, "width must be an even integer between 80 and 320"),
                ({"width": 78}, "width must be an even integer between 80 and 320"),
                ({"width": 322}, "width must be an even integer between 80 and 320"),
                ({"editId": "edit-0-0"}, "Edit not found"),
                ({"id": "media-0-0"}, "Record not found")]
    for change, message in refusals:
        assert vft.err("media", "preview_edit_frames",
                       dict(frames_args(saved, [1]), **change), env=env) == message, change
    with open(source, "r+b") as f:
        f.seek(100)
        f.write(b"\0")
    assert vft.err("media", "preview_edit_frames", frames_args(saved, [1]), env=env) == STALE
    # Nothing written: not the store, not a file in the data folder or beside the source.
    assert vft.store_file("media").read_bytes() == store
    assert sorted(os.listdir(vft.folder("media"))) == ["records.json", "records.lock"]
    assert sorted(os.listdir(tmp_path)) == sorted(["clip.mp4", "data", "user"])


def wait_for(path):
    """Until the file exists: the renderer stand-in makes it once it runs."""
    deadline = time.monotonic() + TIMEOUT
    while not path.exists():
        assert time.monotonic() < deadline, f"{path} never appeared"
        time.sleep(0.02)


@needs_ffmpeg
def test_frames_let_go_of_the_lock_and_a_cancel_leaves_no_renderer(vft, clips, tmp_path):
    env = renderer_env(vft)
    saved = save_edit(vft, import_clip(vft, clips["silent"], env)["project"], {}, env=env)
    gate = tmp_path / "renderer"
    gate.mkdir()
    name = "slow_renderer.exe" if WINE else "slow_renderer"
    slow = dict(env, VEYMORA_FFMPEG=vft.path(os.path.join(TOOLS_DIR, name)),
                VFT_SLOW_RENDERER=vft.path(gate))
    session = vft.session("media", env=slow)

    def request(id):
        session.send({"jsonrpc": "2.0", "id": id, "method": "tools/call", "params": {
            "name": "preview_edit_frames", "arguments": frames_args(saved, [0.5])}})

    # While the renderer runs, another process's call takes the app's lock.
    request(1)
    wait_for(gate / "started")
    assert vft.ok("media", "get_project", {"id": saved["projectId"]}, env=env)["version"] == 2
    (gate / "go").touch()
    answer = session.read_line()
    assert answer["id"] == 1 and answer["result"]["content"][0]["text"] == FRAMES_FAILED

    # A cancel ends the renderer: the next answer is the next request's, and the lock the
    # renderer held as long as it lived is free.
    (gate / "started").unlink()
    (gate / "go").unlink()
    request(2)
    wait_for(gate / "started")
    session.send({"jsonrpc": "2.0", "method": "notifications/cancelled",
                  "params": {"requestId": 2, "reason": "gave up"}})
    # Tool calls run one at a time: this one's answer comes once the cancelled call has ended.
    session.send({"jsonrpc": "2.0", "id": 3, "method": "tools/call", "params": {
        "name": "get_project", "arguments": {"id": saved["projectId"]}}})
    answer = session.read_line()
    assert answer["id"] == 3 and answer["result"]["isError"] is False
    free = subprocess.run(vft.tool_command("hold_lock") + [vft.path(gate / "running.lock")],
                          input=b"", capture_output=True, env=env, timeout=TIMEOUT)
    assert (free.returncode, free.stdout) == (0, b"held\n"), free.stderr
    assert session.close() == (b"", b"", 0)
    assert sorted(os.listdir(vft.folder("media"))) == ["records.json", "records.lock"]
