"""The wallet: imports checked by name and content, protected copies, disclosure in steps,
corrections, and exports that never overwrite and never leave a partial copy behind."""
import hashlib
import json
import os
import resource
import shutil
import signal
import subprocess

import pytest

from conftest import TIMEOUT, TOOLS_DIR, WINE, linux_only_because, snapshot

LABEL = "Windows DPAPI current user" if WINE else "Current user key (AES-256-GCM)"
PROTECTION = "Windows data protection failed" if WINE else "User data protection failed"
UNSUPPORTED = "Supported documents: valid PDF, PNG, JPEG or UTF-8 text (20 MiB maximum)"
INVALID_LABEL = "Invalid document title or metadata"
CHOOSE_DESTINATION = "Choose an absolute destination in an existing folder"
DESTINATION_EXISTS = "Destination already exists; choose a new filename"
INVALID_REFERENCE = "Invalid stored document reference"
INTEGRITY = "Document integrity check failed"
NOTE = "This selected export is readable outside Wallet; remove it yourself when finished."
LIMIT_BYTES = 500 * 1048576

PDF = b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n1 0 obj\n<<>>\nendobj\n"
PNG = b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00\x00\x00\x01\x00\x00\x00\x01\x08\x06\x00\x00\x00"
JPEG = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"

needs_sealed_store = pytest.mark.skipif(
    not TOOLS_DIR, reason="prepared stores need the helper sealed_store")


# -- helpers ----------------------------------------------------------------------------------
def put(tmp_path, name, data):
    folder = tmp_path / "selected"
    folder.mkdir(exist_ok=True)
    path = folder / name
    path.write_bytes(data)
    return path


def import_args(vft, path, title="Doc", kind="letter", **extra):
    return dict({"path": vft.path(path), "title": title, "kind": kind}, **extra)


def import_ok(vft, path, **kw):
    return vft.ok("wallet", "import_document", import_args(vft, path, **kw))


def import_err(vft, path, **kw):
    return vft.err("wallet", "import_document", import_args(vft, path, **kw))


def documents(vft):
    return vft.folder("wallet") / "documents"


def content_files(vft):
    folder = documents(vft)
    return sorted(p.name for p in folder.iterdir()) if folder.exists() else []


def export(vft, doc_id, destination):
    return vft.call("wallet", "export_document",
                    {"id": doc_id, "destinationPath": vft.path(destination)})


def sealed_store(vft, mode, data=None):
    proc = subprocess.run(vft.tool_command("sealed_store") + [mode, "wallet",
                          vft.path(vft.folder("wallet"))], input=data, capture_output=True,
                          env=vft.env, timeout=TIMEOUT)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def read_store(vft):
    return json.loads(sealed_store(vft, "read"))


def write_store(vft, document):
    sealed_store(vft, "write", json.dumps(document, indent=2, ensure_ascii=False,
                                          sort_keys=True).encode("utf-8"))


# -- import -----------------------------------------------------------------------------------
def test_each_type_is_imported_as_a_protected_copy(vft, tmp_path):
    cases = [("Scan.PDF", PDF, "pdf", "application/pdf"),
             ("photo.png", PNG, "png", "image/png"),
             ("photo.jpeg", JPEG + b"a", "jpeg", "image/jpeg"),
             ("photo.JPG", JPEG + b"b", "jpg", "image/jpeg"),
             ("notes.txt", "Grüße, 世界\n".encode(), "txt", "text/plain"),
             ("empty.txt", b"", "txt", "text/plain")]
    for count, (name, data, extension, mime) in enumerate(cases, start=1):
        source = put(tmp_path, name, data)
        before = snapshot(source)
        result = import_ok(vft, source, title="  Title \t", kind=" passport ",
                           fields={"Number": "X1"})
        assert set(result) == {"document", "duplicate", "encryptedAtRest", "sourceUnchanged"}
        assert result["duplicate"] is False
        assert result["encryptedAtRest"] == LABEL
        assert result["sourceUnchanged"] is True
        doc = result["document"]
        assert "blob" not in doc and "fields" not in doc
        assert doc["id"].startswith("doc-") and doc["id"].count("-") == 2
        assert doc["title"] == "Title" and doc["kind"] == "passport"
        assert doc["version"] == 1 and doc["archived"] is False
        assert doc["extension"] == extension and doc["mimeType"] == mime
        assert doc["bytes"] == len(data)
        assert doc["sha256"] == hashlib.sha256(data).hexdigest()
        assert doc["originalFilename"] == name
        assert "issuer" not in doc and "expiresOn" not in doc
        assert snapshot(source) == before
        sealed = (documents(vft) / (doc["id"] + ".dpapi")).read_bytes()
        assert sealed and sealed != data
        if data:
            assert data not in sealed
        assert len(content_files(vft)) == count
        assert vft.ok("wallet", "get_storage_info")["recordCount"] == count


@pytest.mark.parametrize("name,data", [
    ("png-named.jpg", PNG),
    ("jpeg-named.png", JPEG),
    ("short.pdf", b"%PDF"),
    ("lower.pdf", b"%pdf-1.7"),
    ("short.png", PNG[:7]),
    ("short.jpg", b"\xff\xd8"),
    ("stray-byte.txt", b"ok\xff"),
    ("overlong.txt", b"\xc0\x80"),
    ("surrogate.txt", b"\xed\xa0\x80"),
    ("cut-short.txt", b"caf\xc3"),
    ("picture.gif", b"GIF89a"),
    ("README", b"plain words"),
    (".txt", b"plain words"),
    ("notes.txt.bak", b"plain words"),
])
def test_type_check_refuses_content_that_its_name_does_not_promise(vft, tmp_path, name, data):
    assert import_err(vft, put(tmp_path, name, data)) == UNSUPPORTED
    assert not documents(vft).exists()
    assert not vft.store_file("wallet").exists()


def test_type_check_accepts_the_shortest_signatures_and_any_case(vft, tmp_path):
    for name, data in (("a.pdf", b"%PDF-"), ("b.png", PNG[:8]), ("c.jpg", b"\xff\xd8\xff"),
                       ("d.TxT", b"x"), ("e.f.txt", b"y"), ("f.Pdf", b"%PDF-2")):
        extension = name.rsplit(".", 1)[1].lower()
        assert import_ok(vft, put(tmp_path, name, data))["document"]["extension"] == extension


@linux_only_because("host symbolic links, which Wine shows as the files they point to")
def test_the_given_name_sets_the_type_and_the_canonical_name_is_recorded(vft, tmp_path):
    target = put(tmp_path, "scan-0001.bin", PDF)
    link = tmp_path / "Passport.PDF"
    link.symlink_to(target)
    doc = import_ok(vft, link)["document"]
    assert doc["extension"] == "pdf" and doc["originalFilename"] == "scan-0001.bin"
    other = tmp_path / "other.bin"
    other.symlink_to(put(tmp_path, "real.txt", b"text"))
    assert import_err(vft, other) == UNSUPPORTED


def test_selected_file_must_be_an_absolute_regular_file(vft, tmp_path):
    args = {"path": "relative.pdf", "title": "T", "kind": "k"}
    assert vft.err("wallet", "import_document", args) == "Choose an absolute local file path"
    assert import_err(vft, tmp_path) == "Choose a regular file no larger than 20 MiB"
    assert not documents(vft).exists()


def test_duplicates_count_only_active_documents(vft, tmp_path):
    first = import_ok(vft, put(tmp_path, "a.txt", b"same words"), title="First")["document"]
    again = import_ok(vft, put(tmp_path, "b.txt", b"same words"), title="Second")
    assert again == {"document": first, "duplicate": True}
    assert len(content_files(vft)) == 1
    vft.ok("wallet", "archive_document", {"id": first["id"], "expectedVersion": 1})
    second = import_ok(vft, put(tmp_path, "c.txt", b"same words"), title="Third")
    assert second["duplicate"] is False and second["document"]["id"] != first["id"]
    assert len(content_files(vft)) == 2
    third = import_ok(vft, put(tmp_path, "d.txt", b"same words"), title="Fourth")
    assert third == {"document": second["document"], "duplicate": True}
    assert vft.ok("wallet", "get_storage_info")["recordCount"] == 2


def test_import_labels_metadata_and_fields(vft, tmp_path):
    source = put(tmp_path, "x.txt", b"labels")
    en_dash = "\u2013"
    assert import_err(vft, source, title="t" * 161) == \
        f"title must be 1{en_dash}160 characters without NUL"
    assert import_err(vft, source, title="   ") == \
        f"title must be 1{en_dash}160 characters without NUL"
    assert import_err(vft, source, kind="k" * 101) == \
        f"kind must be 1{en_dash}100 characters without NUL"
    assert import_err(vft, source, issuer="i" * 201) == "Metadata is too long"
    assert import_err(vft, source, expiresOn="e" * 201) == "Metadata is too long"
    assert import_err(vft, source, expiresOn="2025-02-30") == "Invalid calendar date"
    assert import_err(vft, source, expiresOn="2025-2-28") == "Dates must use YYYY-MM-DD"
    assert import_err(vft, source, fields={"PIN code": "1"}) == (
        "Do not store passwords, access tokens, payment security codes, or government "
        "identity numbers")
    assert import_err(vft, source, fields={"n": 5}) == \
        "Fields need short names and text values up to 2000 bytes"
    assert import_err(vft, source, fields={f"f{i}": "v" for i in range(41)}) == \
        "At most 40 fields"
    # The fields are checked first, the title next, the file after them.
    assert import_err(vft, tmp_path / "missing.txt", title="", fields={"api_key": "x"}) == (
        "Do not store passwords, access tokens, payment security codes, or government "
        "identity numbers")
    assert vft.err("wallet", "import_document",
                   {"path": vft.path(tmp_path / "missing.txt"), "title": " ", "kind": "k"}) \
        == f"title must be 1{en_dash}160 characters without NUL"
    assert content_files(vft) == [] and not vft.store_file("wallet").exists()

    doc = import_ok(vft, source, title="é" * 160, issuer="  " + "é" * 99, expiresOn="",
                    fields={f"f{i}": "v" * 2000 for i in range(40)})["document"]
    assert doc["title"] == "é" * 160
    assert doc["issuer"] == "  " + "é" * 99
    assert doc["expiresOn"] == ""
    full = vft.ok("wallet", "get_document", {"id": doc["id"], "includeFields": True})
    assert full["fields"] == {f"f{i}": "v" * 2000 for i in range(40)}
    other = import_ok(vft, put(tmp_path, "y.txt", b"no fields"), expiresOn="2024-02-29")
    assert other["document"]["expiresOn"] == "2024-02-29"
    assert vft.ok("wallet", "get_document", {"id": other["document"]["id"],
                                             "includeFields": True})["fields"] == {}


def test_neither_the_store_nor_a_content_file_holds_plaintext(vft, tmp_path):
    secrets = {"text": "Quetzalcoatl visa renewal at the Elbonian consulate",
               "title": "Zanzibar travel papers", "issuer": "Consulate of Elbonia",
               "number": "ZX-4471-QQ", "holder": "Wilhelmina Featherstonehaugh"}
    data = secrets["text"].encode()
    source = put(tmp_path, "visa.txt", data)
    doc = import_ok(vft, source, title=secrets["title"], issuer=secrets["issuer"],
                    fields={"Number": secrets["number"], "Holder": secrets["holder"]})["document"]
    pdf = import_ok(vft, put(tmp_path, "scan.pdf", PDF + data), title="Scan")["document"]
    files = [vft.store_file("wallet")] + [documents(vft) / n for n in content_files(vft)]
    assert len(files) == 3
    for path in files:
        raw = path.read_bytes()
        for value in list(secrets.values()) + [doc["sha256"], pdf["sha256"]]:
            for encoded in (value.encode("utf-8"), value.encode("utf-16-le")):
                assert encoded not in raw, f"{value!r} readable in {path.name}"
    # The protected copies still give back exactly what was imported.
    for record, expected in ((doc, data), (pdf, PDF + data)):
        destination = tmp_path / (record["id"] + ".out")
        assert export(vft, record["id"], destination).returncode == 0
        assert destination.read_bytes() == expected


# -- reading and correcting -------------------------------------------------------------------
def test_fields_are_disclosed_only_on_request(vft, tmp_path):
    doc = import_ok(vft, put(tmp_path, "a.txt", b"a"), title="Boarding pass", kind="Travel",
                    fields={"Seat": "Hummingbird"})["document"]
    import_ok(vft, put(tmp_path, "b.txt", b"b"), title="Other pass", kind="travel")
    for extra in ({}, {"includeFields": False}):
        view = vft.ok("wallet", "get_document", dict({"id": doc["id"]}, **extra))
        assert view == doc
    view = vft.ok("wallet", "get_document", {"id": doc["id"], "includeFields": True})
    assert view["fields"] == {"Seat": "Hummingbird"} and "blob" not in view
    assert vft.err("wallet", "get_document", {"id": "doc-0-0"}) == "Record not found"

    assert vft.ok("wallet", "search_documents", {"query": "hummingbird"})["total"] == 0
    assert vft.ok("wallet", "search_documents", {"query": "dpapi"})["total"] == 0
    found = vft.ok("wallet", "search_documents", {"query": "BOARDING"})
    assert found["total"] == 1 and found["records"] == [doc]
    everything = vft.ok("wallet", "search_documents", {})
    assert everything["total"] == 2
    for record in everything["records"]:
        assert "fields" not in record and "blob" not in record
    by_kind = vft.ok("wallet", "search_documents", {"kind": "Travel"})
    assert [r["id"] for r in by_kind["records"]] == [doc["id"]]
    vft.ok("wallet", "archive_document", {"id": doc["id"], "expectedVersion": 1})
    assert vft.ok("wallet", "search_documents", {"kind": "Travel"})["total"] == 0
    assert vft.ok("wallet", "search_documents",
                  {"kind": "Travel", "includeArchived": True})["total"] == 1


def test_update_document_corrects_labels_within_its_own_bounds(vft, tmp_path):
    doc = import_ok(vft, put(tmp_path, "a.txt", b"a"), title="Lease", issuer="Landlord",
                    fields={"Unit": "4B", "Floor": "4"})["document"]
    key = {"id": doc["id"]}

    def update(version, **changes):
        return vft.call("wallet", "update_document",
                        dict(key, expectedVersion=version, **changes))

    def failure(version, **changes):
        done = update(version, **changes)
        assert done.returncode == 1, done.out
        return done.err[:-1]

    assert failure(1, title="   ") == INVALID_LABEL
    assert failure(1, title="") == INVALID_LABEL
    assert failure(1, title="t" * 201) == INVALID_LABEL
    assert failure(1, issuer="é" * 100 + "x") == INVALID_LABEL
    assert failure(1, expiresOn="2023-02-29") == "Invalid calendar date"
    assert failure(1, fields={"Card CVV": "1"}).startswith("Do not store passwords")
    assert failure(2, title="New") == \
        "Version conflict: read this record again; current version is 1"
    assert vft.ok("wallet", "get_document", dict(key, includeFields=True)) == \
        dict(doc, fields={"Unit": "4B", "Floor": "4"})

    done = update(1, title="  Lease 2024 ", issuer="", expiresOn="")
    assert done.returncode == 0, done.err
    view = done.json()
    assert view["title"] == "  Lease 2024 " and view["issuer"] == "" and view["expiresOn"] == ""
    assert view["version"] == 2 and "fields" not in view and "blob" not in view
    assert view["kind"] == doc["kind"] and view["sha256"] == doc["sha256"]
    assert vft.ok("wallet", "get_document", dict(key, includeFields=True))["fields"] == \
        {"Unit": "4B", "Floor": "4"}
    assert update(2, title="t" * 200, fields={"Unit": "5C"}).returncode == 0
    assert vft.ok("wallet", "get_document", dict(key, includeFields=True))["fields"] == \
        {"Unit": "5C"}
    vft.ok("wallet", "archive_document", dict(key, expectedVersion=3))
    done = update(4, fields={})
    assert done.returncode == 0 and done.json()["archived"] is True
    view = vft.ok("wallet", "get_document", dict(key, includeFields=True))
    assert view["fields"] == {} and view["archived"] is True and view["version"] == 5
    assert vft.ok("wallet", "restore_document", dict(key, expectedVersion=5)) == \
        {"archived": False, "id": doc["id"], "version": 6}


# -- export -----------------------------------------------------------------------------------
def test_export_writes_a_new_verified_copy_and_changes_nothing_else(vft, tmp_path):
    data = PNG + bytes(range(256)) * 40
    doc = import_ok(vft, put(tmp_path, "chart.png", data))["document"]
    store_before = snapshot(vft.store_file("wallet"))
    out = tmp_path / "out"
    out.mkdir()
    destination = out / "chart copy.png"
    done = export(vft, doc["id"], destination)
    assert done.returncode == 0, done.err
    assert done.json() == {"bytes": len(data), "note": NOTE, "path": vft.path(destination),
                           "plaintextExport": True, "sha256": doc["sha256"]}
    assert destination.read_bytes() == data
    assert snapshot(vft.store_file("wallet")) == store_before
    assert vft.ok("wallet", "get_document", {"id": doc["id"]}) == doc

    # Never onto anything that exists: a file (left as it is), a folder.
    exported = snapshot(destination)
    assert vft.err("wallet", "export_document",
                   {"id": doc["id"], "destinationPath": vft.path(destination)}) == \
        DESTINATION_EXISTS
    assert snapshot(destination) == exported
    assert export(vft, doc["id"], out).err == DESTINATION_EXISTS + "\n"
    assert sorted(os.listdir(out)) == ["chart copy.png"]


def test_export_refuses_destinations_outside_existing_folders(vft, tmp_path):
    doc = import_ok(vft, put(tmp_path, "a.pdf", PDF))["document"]
    a_file = tmp_path / "plain-file"
    a_file.write_bytes(b"x")
    for destination in ("relative.pdf", vft.path(tmp_path / "missing" / "a.pdf"),
                        vft.path(tmp_path / "missing" / "deeper" / "a.pdf"),
                        vft.path(a_file / "a.pdf")):
        assert vft.err("wallet", "export_document",
                       {"id": doc["id"], "destinationPath": destination}) == CHOOSE_DESTINATION
    assert not (tmp_path / "missing").exists() and a_file.read_bytes() == b"x"
    # A NUL would cut the name short: the file made would not be the one named.
    out = tmp_path / "out"
    out.mkdir()
    assert vft.err("wallet", "export_document",
                   {"id": doc["id"], "destinationPath": vft.path(out / "a") + "\u0000b.pdf"}) \
        == CHOOSE_DESTINATION
    assert os.listdir(out) == []
    # The destination is judged before the content file is read.
    (documents(vft) / (doc["id"] + ".dpapi")).unlink()
    assert vft.err("wallet", "export_document",
                   {"id": doc["id"], "destinationPath": vft.path(tmp_path / "no" / "a.pdf")}) \
        == CHOOSE_DESTINATION
    assert vft.err("wallet", "export_document",
                   {"id": doc["id"], "destinationPath": vft.path(a_file)}) == DESTINATION_EXISTS
    assert vft.err("wallet", "export_document",
                   {"id": "doc-1-1", "destinationPath": vft.path(tmp_path / "n.pdf")}) == \
        "Record not found"


def test_archived_documents_must_be_restored_before_export(vft, tmp_path):
    doc = import_ok(vft, put(tmp_path, "a.pdf", PDF))["document"]
    vft.ok("wallet", "archive_document", {"id": doc["id"], "expectedVersion": 1})
    destination = tmp_path / "a-out.pdf"
    assert export(vft, doc["id"], destination).err == \
        "Restore the document before exporting it\n"
    assert not destination.exists()
    vft.ok("wallet", "restore_document", {"id": doc["id"], "expectedVersion": 2})
    assert export(vft, doc["id"], destination).returncode == 0
    assert destination.read_bytes() == PDF


@linux_only_because("host symbolic links, which Wine shows as the files they point to")
def test_export_does_not_follow_a_dangling_link_at_the_destination(vft, tmp_path):
    doc = import_ok(vft, put(tmp_path, "a.pdf", PDF))["document"]
    link = tmp_path / "link.pdf"
    target = tmp_path / "elsewhere.pdf"
    link.symlink_to(target)
    assert export(vft, doc["id"], link).err == DESTINATION_EXISTS + "\n"
    assert not target.exists() and os.readlink(link) == str(target)


def test_export_refuses_altered_foreign_or_missing_content(vft, tmp_path):
    a = import_ok(vft, put(tmp_path, "a.txt", b"first document " * 50))["document"]
    b = import_ok(vft, put(tmp_path, "b.txt", b"second document " * 50))["document"]
    a_file = documents(vft) / (a["id"] + ".dpapi")
    b_file = documents(vft) / (b["id"] + ".dpapi")
    store_before = snapshot(vft.store_file("wallet"))

    sealed = bytearray(a_file.read_bytes())
    sealed[len(sealed) // 2] ^= 0x01
    a_file.write_bytes(bytes(sealed))
    destination = tmp_path / "out.txt"
    assert export(vft, a["id"], destination).err == PROTECTION + "\n"
    assert not destination.exists()

    # A whole, valid content file of another document is caught by its fingerprint.
    shutil.copyfile(b_file, a_file)
    assert export(vft, a["id"], destination).err == INTEGRITY + "\n"
    assert not destination.exists()

    a_file.unlink()
    done = export(vft, a["id"], destination)
    assert done.returncode == 1 and done.stdout == b""
    if not WINE:
        assert done.err == "No such file or directory\n"
    assert not destination.exists()
    assert snapshot(vft.store_file("wallet")) == store_before
    assert export(vft, b["id"], destination).returncode == 0


def call_with_file_size_limit(vft, tool, args, limit):
    """Runs one call whose writes beyond limit bytes fail (EFBIG) instead of killing it. Unlike
    file permissions, this holds for root as well."""
    def limited():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

    proc = subprocess.run(vft.command(["wallet", "call", tool, json.dumps(args)]),
                          capture_output=True, env=vft.env, timeout=TIMEOUT, preexec_fn=limited)
    assert proc.returncode == 1 and proc.stdout == b"", proc.stdout
    return proc.stderr.decode()


@linux_only_because("a file size limit (RLIMIT_FSIZE) makes the write fail")
def test_a_failed_export_write_removes_its_partial_file(vft, tmp_path):
    data = b"long letter " * 40000
    doc = import_ok(vft, put(tmp_path, "long.txt", data))["document"]
    destination = tmp_path / "partial.txt"
    args = {"id": doc["id"], "destinationPath": str(destination)}
    assert call_with_file_size_limit(vft, "export_document", args, 65536) == "File too large\n"
    assert not destination.exists()
    assert export(vft, doc["id"], destination).returncode == 0
    assert destination.read_bytes() == data


# -- prepared stores ----------------------------------------------------------------------------
@needs_sealed_store
def test_stored_references_never_lead_outside_the_documents_folder(vft, tmp_path):
    doc = import_ok(vft, put(tmp_path, "a.pdf", PDF))["document"]
    sealed = documents(vft) / (doc["id"] + ".dpapi")
    # Valid copies of the content wait outside the folder, so a read that escaped would
    # succeed and show itself.
    shutil.copyfile(sealed, vft.folder("wallet") / "outside.dpapi")
    shutil.copyfile(sealed, tmp_path / "elsewhere.dpapi")
    store = read_store(vft)
    destination = tmp_path / "out.pdf"
    cases = [("../outside.dpapi", INVALID_REFERENCE),
             ("..\\outside.dpapi", INVALID_REFERENCE),
             (str(tmp_path / "elsewhere.dpapi"), INVALID_REFERENCE),
             ("sub/" + doc["id"] + ".dpapi", INVALID_REFERENCE),
             (doc["id"], INVALID_REFERENCE),
             (doc["id"] + ".dpapi.txt", INVALID_REFERENCE),
             ("dpapi", INVALID_REFERENCE),
             ("", INVALID_REFERENCE),
             (doc["id"] + "\u0000.dpapi", INVALID_REFERENCE),
             ("NUL.dpapi", INVALID_REFERENCE),
             ("c:outside.dpapi", INVALID_REFERENCE),
             (7, "blob must be text"),
             (None, "blob must be text"),
             ("<absent>", "blob must be text")]
    for blob, message in cases:
        record = dict(store["records"][0])
        if blob == "<absent>":
            del record["blob"]
        else:
            record["blob"] = blob
        write_store(vft, dict(store, records=[record]))
        assert export(vft, doc["id"], destination).err == message + "\n", blob
        assert not destination.exists()
    # The stored name, not the id, decides which file is read.
    os.rename(sealed, documents(vft) / "renamed.dpapi")
    write_store(vft, dict(store, records=[dict(store["records"][0], blob="renamed.dpapi")]))
    assert export(vft, doc["id"], destination).returncode == 0
    assert destination.read_bytes() == PDF


@needs_sealed_store
def test_the_500_mib_bound_is_exact_and_counts_archived_documents(vft, tmp_path):
    first = import_ok(vft, put(tmp_path, "a.txt", b"0123456789"))["document"]
    second = import_ok(vft, put(tmp_path, "b.txt", b"abcdefghijklmnopqrst"))["document"]
    vft.ok("wallet", "archive_document", {"id": first["id"], "expectedVersion": 1})
    new = put(tmp_path, "c.txt", b"seven b")

    def set_first_bytes(value):
        store = read_store(vft)
        store["records"][0]["bytes"] = value
        write_store(vft, store)

    # The archived first document takes all the room but the new file's and one byte.
    set_first_bytes(LIMIT_BYTES - second["bytes"] - 7 + 1)
    before = snapshot(vft.store_file("wallet"))
    assert import_err(vft, new) == "Wallet document limit reached (500 MiB)"
    assert snapshot(vft.store_file("wallet")) == before
    assert len(content_files(vft)) == 2
    set_first_bytes(LIMIT_BYTES - second["bytes"] - 7)
    assert import_ok(vft, new)["document"]["bytes"] == 7
    assert len(content_files(vft)) == 3
    # Full to the byte: not even an empty document is refused, but one byte is.
    assert import_ok(vft, put(tmp_path, "d.txt", b""))["document"]["bytes"] == 0
    assert import_err(vft, put(tmp_path, "e.txt", b"!")) == \
        "Wallet document limit reached (500 MiB)"


@needs_sealed_store
def test_the_thousand_document_bound_counts_archived_documents(vft, tmp_path):
    import_ok(vft, put(tmp_path, "a.txt", b"seed"))
    store = read_store(vft)
    seed = store["records"][0]
    records = []
    for i in range(999):
        records.append(dict(seed, id=f"doc-{i}-1", blob=f"doc-{i}-1.dpapi",
                            sha256=f"{i:064x}", archived=i % 2 == 0))
    write_store(vft, dict(store, records=records))
    assert import_ok(vft, put(tmp_path, "b.txt", b"the thousandth"))["duplicate"] is False
    files = content_files(vft)
    assert import_err(vft, put(tmp_path, "c.txt", b"one too many")) == \
        "Document limit reached (1000)"
    assert content_files(vft) == files
    # A duplicate is still answered: it adds nothing.
    assert import_ok(vft, put(tmp_path, "d.txt", b"the thousandth"))["duplicate"] is True


@linux_only_because("a file size limit (RLIMIT_FSIZE) makes the save fail")
def test_a_failed_save_leaves_no_content_file_behind(vft, tmp_path):
    # Large fields make the store far bigger than a small document's content file, so a
    # file size limit between the two lets the content file be written and the save fail.
    import_ok(vft, put(tmp_path, "a.txt", b"kept"), fields={f"f{i}": "v" * 2000 for i in range(40)})
    kept = content_files(vft)
    assert vft.store_file("wallet").stat().st_size > 80000
    before = snapshot(vft.store_file("wallet"))
    args = import_args(vft, put(tmp_path, "b.pdf", PDF))
    assert call_with_file_size_limit(vft, "import_document", args, 65536) == "File too large\n"
    assert content_files(vft) == kept
    assert snapshot(vft.store_file("wallet")) == before
    assert [p.name for p in vft.folder("wallet").iterdir() if p.name.endswith(".tmp")] == []
    assert vft.ok("wallet", "get_storage_info")["recordCount"] == 1
    # Without the limit the same import goes through.
    assert import_ok(vft, put(tmp_path, "b.pdf", PDF))["duplicate"] is False
    assert len(content_files(vft)) == 2


@linux_only_because("a file size limit (RLIMIT_FSIZE) makes the content write fail")
def test_a_failed_content_write_leaves_the_documents_folder_as_it_was(vft, tmp_path):
    import_ok(vft, put(tmp_path, "a.txt", b"kept"))
    kept = content_files(vft)
    before = snapshot(vft.store_file("wallet"))
    args = import_args(vft, put(tmp_path, "big.txt", b"a long letter " * 10000))
    assert call_with_file_size_limit(vft, "import_document", args, 65536) == "File too large\n"
    assert content_files(vft) == kept
    assert snapshot(vft.store_file("wallet")) == before
