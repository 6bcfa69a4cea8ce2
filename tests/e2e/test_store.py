"""Data folders, the lock, and stores that must be refused without being touched."""
import json
import os
import random
import signal
import subprocess

import pytest

from conftest import WINE, linux_only, linux_only_because

UNSUPPORTED = "Unsupported record store; original preserved"
PROTECTION = "Windows data protection failed" if WINE else "User data protection failed"
RELATIVE_HOME = ("VEYMORA_DATA_HOME must be an absolute folder path (leave it empty for the "
                 "default)")


def test_storage_paths_and_protection_flags(vft):
    for app, protected in (("studio", False), ("clipboard", True), ("bookmarks", False),
                           ("inventory", False), ("wallet", True), ("media", False),
                           ("bills", True)):
        info = vft.ok(app, "get_storage_info")
        assert info == {"app": app, "encryptedAtRest": protected, "networkRequests": False,
                        "recordCount": 0, "schema": 1,
                        "storagePath": vft.path(vft.store_file(app)), "version": "0.1.0"}
        assert (vft.home / app).is_dir()
        assert not vft.store_file(app).exists()


@linux_only_because("Wine sets LOCALAPPDATA from its prefix; test_windows.py sets it via cmd.exe")
def test_data_home_fallbacks(vft, tmp_path):
    env = dict(vft.env)
    del env["VEYMORA_DATA_HOME"]
    env["LOCALAPPDATA"] = vft.path(tmp_path / "local")
    info = vft.ok("bills", "get_storage_info", env=env)
    assert info["storagePath"] == vft.path(tmp_path / "local" / "Veymora" / "bills" / "records.dpapi")
    # A relative LOCALAPPDATA is passed over like an absent one.
    env["LOCALAPPDATA"] = "local"
    env["XDG_DATA_HOME"] = str(tmp_path / "xdg")
    info = vft.ok("studio", "get_storage_info", env=env)
    assert info["storagePath"] == str(tmp_path / "xdg" / "veymora" / "studio" / "records.json")


def test_settings_left_empty_keep_the_defaults_and_a_relative_data_home_is_refused(vft, tmp_path):
    # What a host passes for an optional setting the user left empty: nothing, or its
    # placeholder unfilled. Neither may put records in the folder the program started in.
    start = tmp_path / "start"
    start.mkdir()
    env = dict(vft.env, LOCALAPPDATA=vft.path(tmp_path / "local"))
    for value in ("", "${user_config.data_folder}"):
        env["VEYMORA_DATA_HOME"] = value
        done = vft.run(["studio", "call", "get_storage_info"], env=env, cwd=start)
        assert done.returncode == 0, done.err
        path = done.json()["storagePath"]
        if WINE:  # Wine hands every program its prefix's own LOCALAPPDATA
            assert path.endswith("\\AppData\\Local\\Veymora\\studio\\records.json"), path
        else:
            assert path == str(tmp_path / "local" / "Veymora" / "studio" / "records.json")
    for value in ("data", "..", "C:data", "\\data", "~/data"):
        env["VEYMORA_DATA_HOME"] = value
        done = vft.run(["bookmarks", "call", "save_bookmark",
                        '{"title":"T","url":"https://example.org/"}'], env=env, cwd=start)
        assert (done.returncode, done.err) == (1, RELATIVE_HOME + "\n"), value
    assert os.listdir(start) == [] and not (tmp_path / "bookmarks").exists()

    env["VEYMORA_DATA_HOME"] = vft.path(vft.home)
    for value in ("", "${user_config.ffmpeg}"):
        env["VEYMORA_FFMPEG"] = value
        status = vft.ok("media", "get_renderer_status", env=env)
        assert status["path"] == ("ffmpeg.exe" if WINE else "ffmpeg")


@linux_only_because("XDG data folders")
def test_linux_fallbacks_and_the_missing_home_message(vft, tmp_path):
    env = {k: v for k, v in vft.env.items() if k not in ("VEYMORA_DATA_HOME", "LOCALAPPDATA")}
    env["XDG_DATA_HOME"] = str(tmp_path / "xdg")
    assert vft.ok("studio", "get_storage_info", env=env)["storagePath"] == \
        str(tmp_path / "xdg" / "veymora" / "studio" / "records.json")
    del env["XDG_DATA_HOME"]
    assert vft.ok("studio", "get_storage_info", env=env)["storagePath"] == \
        str(vft.user_home / ".local" / "share" / "veymora" / "studio" / "records.json")
    del env["HOME"]
    assert vft.err("studio", "get_storage_info", env=env) == "LOCALAPPDATA is unavailable"
    # tools/list needs no data folder.
    done = vft.run(["studio"], input=b'{"id":1,"method":"tools/list"}\n', env=env)
    assert len(json.loads(done.stdout)["result"]["tools"]) == 8


@pytest.mark.parametrize("content,message", [
    (b"", "Invalid store; original preserved: "),
    (b'{"app":"inventory","records":[],"schema":2,"undo":null}', UNSUPPORTED),
    (b'{"app":"inventory","records":[],"schema":1.0,"undo":null}', UNSUPPORTED),
    (b'{"app":"bookmarks","records":[],"schema":1,"undo":null}', UNSUPPORTED),
    (b'{"app":"inventory","records":null,"schema":1}', UNSUPPORTED),
    (b"[" * 200 + b"]" * 200, "Invalid store; original preserved: "),
    # nlohmann alone would stop at the NUL and take the store for the part before it.
    (b'{"app":"inventory","records":[],"schema":1,"undo":null}\x00{"more":1}',
     "Invalid store; original preserved: "),
])
def test_refused_stores_stay_byte_for_byte(vft, content, message):
    folder = vft.home / "inventory"
    folder.mkdir()
    store = folder / "records.json"
    store.write_bytes(content)
    got = vft.err("inventory", "get_storage_info")
    assert got.startswith(message)
    if message.endswith(": "):
        assert "line" in got and "column" in got
    assert store.read_bytes() == content
    assert sorted(os.listdir(folder)) == ["records.json", "records.lock"]


def test_store_size_limit_on_load(vft):
    folder = vft.home / "media"
    folder.mkdir()
    store = folder / "records.json"
    body = b'{"app":"media","records":[],"schema":1,"undo":null}'
    store.write_bytes(body + b" " * (73_400_320 - len(body)))
    assert vft.ok("media", "get_storage_info")["recordCount"] == 0
    with open(store, "ab") as f:
        f.write(b" ")
    assert vft.err("media", "get_storage_info") == "Record store exceeds 70 MiB"
    assert store.stat().st_size == 73_400_321


def test_unknown_members_survive(vft):
    folder = vft.home / "studio"
    folder.mkdir()
    doc = {"app": "studio", "records": [], "schema": 1, "undo": {"keep": [1, 2.5, -3]},
           "zzz": "\u00e9"}
    (folder / "records.json").write_text(json.dumps(doc), encoding="utf-8")
    assert vft.ok("studio", "get_storage_info")["recordCount"] == 0


def test_protected_stores_refuse_foreign_and_damaged_blobs(vft, tmp_path):
    # A bills store needs a first save to exist: make one with the library's own format by
    # letting the wallet and bills folders exist and copying the blob produced for bills.
    churn = vft.tool("store_churn")
    if WINE:
        pytest.skip("Linux only: another user is another HOME (test_windows.py covers DPAPI)")
    if not os.path.exists(churn):
        pytest.skip("needs the Linux store helper")
    env = dict(vft.env)
    (vft.home / "bills").mkdir()
    subprocess.run([churn, "bills", str(vft.home / "bills"), "t", "1"], env=env, check=True,
                   capture_output=True)
    blob = (vft.home / "bills" / "records.dpapi").read_bytes()
    assert b'"records"' not in blob
    assert vft.ok("bills", "get_storage_info")["recordCount"] == 1
    # Another app's store entropy.
    (vft.home / "wallet").mkdir()
    (vft.home / "wallet" / "records.dpapi").write_bytes(blob)
    assert vft.err("wallet", "get_storage_info") == PROTECTION
    # Altered bytes.
    damaged = bytearray(blob)
    damaged[len(damaged) // 2] ^= 0x40
    (vft.home / "bills" / "records.dpapi").write_bytes(bytes(damaged))
    assert vft.err("bills", "get_storage_info") == PROTECTION
    assert (vft.home / "bills" / "records.dpapi").read_bytes() == bytes(damaged)
    # Another user's key (a different HOME).
    (vft.home / "bills" / "records.dpapi").write_bytes(blob)
    other = tmp_path / "other-user"
    other.mkdir()
    env["HOME"] = str(other)
    assert vft.err("bills", "get_storage_info", env=env) == PROTECTION
    assert not (other / ".config" / "veymora" / "user.key").exists()


@linux_only_because("Linux file modes and the user key file")
def test_key_and_store_files_are_private(vft):
    churn = vft.tool("store_churn")
    (vft.home / "bills").mkdir()
    subprocess.run([churn, "bills", str(vft.home / "bills"), "t", "1"], env=vft.env, check=True,
                   capture_output=True)
    key = vft.user_home / ".config" / "veymora" / "user.key"
    assert oct(key.stat().st_mode & 0o777) == "0o600"
    assert oct(key.parent.stat().st_mode & 0o777) == "0o700"
    assert key.stat().st_size == 32
    assert oct((vft.home / "bills" / "records.dpapi").stat().st_mode & 0o777) == "0o600"
    vft.ok("studio", "get_storage_info")
    assert oct((vft.home / "studio").stat().st_mode & 0o777) == "0o700"


@linux_only_because("Linux file modes, owners and the user key file")
def test_a_user_key_others_can_reach_is_refused_with_the_fix(vft):
    churn = vft.tool("store_churn")
    (vft.home / "bills").mkdir()
    subprocess.run([churn, "bills", str(vft.home / "bills"), "t", "1"], env=vft.env, check=True,
                   capture_output=True)
    key = vft.user_home / ".config" / "veymora" / "user.key"
    store = vft.home / "bills" / "records.dpapi"
    before = store.read_bytes()
    save = {"title": "Power", "provider": "ACME", "periodStart": "2024-01-01",
            "periodEnd": "2024-01-31", "dueDate": "2024-02-10", "amountMinor": 1,
            "currency": "EUR"}
    for mode in (0o644, 0o666, 0o620, 0o604):
        key.chmod(mode)
        message = f"User data protection failed: {key} is open to other users; make it " \
                  "private (mode 0600)"
        assert vft.err("bills", "get_storage_info") == message
        assert vft.err("bills", "save_bill", save) == message
    key.chmod(0o600)
    key.parent.chmod(0o777)
    assert vft.err("bills", "get_storage_info") == \
        f"User data protection failed: {key.parent} is writable by other users; make it " \
        "private (mode 0700)"
    key.parent.chmod(0o700)
    if os.geteuid() == 0:  # only root can give the key to someone else
        os.chown(key, 65534, 65534)
        assert vft.err("bills", "get_storage_info") == \
            f"User data protection failed: {key} is owned by another user; use one of your " \
            "own, private to you (mode 0600)"
        os.chown(key, 0, 0)
    assert store.read_bytes() == before
    assert vft.ok("bills", "get_storage_info")["recordCount"] == 1


@linux_only_because("a symbolic link as the lock file")
def test_a_dangling_link_at_the_lock_path_is_not_followed(vft, tmp_path):
    folder = vft.home / "bookmarks"
    folder.mkdir()
    elsewhere = tmp_path / "elsewhere.lock"
    (folder / "records.lock").symlink_to(elsewhere)
    assert vft.err("bookmarks", "get_storage_info") == "No such file or directory"
    assert not elsewhere.exists()
    elsewhere.write_bytes(b"")  # a link to an existing file is a lock file like any other
    assert vft.ok("bookmarks", "get_storage_info")["recordCount"] == 0


@linux_only_because("flock; test_windows.py holds the lock from a second Windows process")
def test_a_held_lock_makes_calls_wait_then_fail(vft):
    import fcntl
    folder = vft.home / "bookmarks"
    folder.mkdir()
    with open(folder / "records.lock", "w") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        assert vft.err("bookmarks", "get_storage_info") == \
            "Another operation still owns the record lock; retry"
    # A lock file left behind by a holder that has gone blocks nobody.
    assert vft.ok("bookmarks", "get_storage_info")["recordCount"] == 0


def test_concurrent_writers_lose_nothing(vft):
    churn = vft.tool_command("store_churn")
    folder = vft.home / "studio"
    folder.mkdir()
    procs = [subprocess.Popen(churn + ["studio", vft.path(folder), f"p{n}", "40"], env=vft.env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
             for n in range(4)]
    saved = []
    for n, p in enumerate(procs):
        out, err = p.communicate(timeout=120)
        assert p.returncode == 0, err
        saved += [f"p{n}-{int(i)}" for i in out.split()]
    # The lock waits about two seconds; on a busy machine a writer can be refused (and
    # passes that save over), but every save made is kept, each writer's in its order.
    assert saved
    ids = [r["id"] for r in vft.read_store("studio")["records"]]
    assert sorted(ids) == sorted(saved)
    for n in range(4):
        assert [i for i in ids if i.startswith(f"p{n}-")] == [i for i in saved if i.startswith(f"p{n}-")]
    assert [f for f in os.listdir(folder) if f.endswith(".tmp")] == []


def test_killed_writers_never_leave_a_broken_store(vft):
    churn = vft.tool_command("store_churn")
    folder = vft.home / "studio"
    folder.mkdir()
    rng = random.Random(7)
    saved = 0
    for round_ in range(12):
        proc = subprocess.Popen(churn + ["studio", vft.path(folder), f"r{round_}", "1000", "20000"],
                                env=vft.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        # Let it complete a random number of saves, then kill it in the middle of the next.
        for _ in range(rng.randint(1, 4)):
            assert proc.stdout.readline()
            saved += 1
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        proc.stdout.close()
        count = vft.ok("studio", "get_storage_info")["recordCount"]
        assert count >= saved
        saved = count


def written_form(document):
    return json.dumps(document, indent=2, sort_keys=True, ensure_ascii=False)


@pytest.mark.parametrize("form", ["written", "compact", "unsorted"])
def test_a_one_shot_save_keeps_the_records_it_adds_to(vft, form):
    # A store in exactly the written form has its records copied rather than read and written
    # again; any other form is read whole. Both must save the same document in the same form.
    records = [{"archived": n == 1, "createdAt": 1, "id": f"bookmark-{n}-1", "updatedAt": 1,
                "title": "Zürich \"q\" a/b\t\u001f\u007f 😀", "url": "https://e.com/",
                "version": 18446744073709551615 if n == 2 else 1,
                "zzz": {"n": [1.5, -0.0, 0.1, -9223372036854775808, None, True, {}, []]}}
               for n in range(3)]
    doc = {"app": "bookmarks", "extra": {"b": 1, "a": [2.5]}, "records": records, "schema": 1,
           "undo": None}
    text = {"written": written_form(doc), "compact": json.dumps(doc),
            "unsorted": json.dumps(doc, indent=2, ensure_ascii=False)}[form]
    vft.folder("bookmarks").mkdir()
    store = vft.store_file("bookmarks")
    store.write_bytes(text.encode())  # line feeds as they are, on Windows too
    new = vft.ok("bookmarks", "save_bookmark", {"title": "New", "url": "https://n.example/"})
    data = store.read_bytes().decode()
    assert data == written_form({**doc, "records": records + [new]})
    # A correction reads every record.
    fixed = vft.ok("bookmarks", "save_bookmark", {"id": "bookmark-1-1", "expectedVersion": 1,
                                                  "title": "Fixed", "url": "https://f.example/"})
    assert vft.read_store("bookmarks")["records"] == [records[0], fixed, records[2], new]

    # A damaged or foreign store is refused as a whole read would refuse it, and kept.
    for bad, message in [(text[:-1], "Invalid store; original preserved: "),
                         (written_form({**doc, "schema": 2}), UNSUPPORTED)]:
        store.write_bytes(bad.encode())
        assert vft.err("bookmarks", "save_bookmark",
                       {"title": "x", "url": "https://x.example/"}).startswith(message)
        assert store.read_bytes().decode() == bad
