"""The stdio session and the command line, as a host and a user see them."""
import json

import pytest

from conftest import WINE

USAGE = ("Usage: veymora-free-tools.exe APP call TOOL JSON" if WINE
         else "Usage: veymora-free-tools APP call TOOL JSON")
CHOOSE = "Choose studio, clipboard, bookmarks, inventory, wallet, media or bills\n"


def lines(data: bytes):
    assert data == b"" or data.endswith(b"\n")
    return [json.loads(l) for l in data.decode("utf-8").splitlines()]


def test_no_arguments_serves_studio_and_words_after_the_app_are_ignored(vft):
    for args, name in (([], "Veymora studio"), (["clipboard", "extra", "words"], "Veymora clipboard"),
                       (["wallet"], "Veymora wallet")):
        done = vft.run(args, input=b'{"id":1,"method":"initialize"}\n')
        assert done.returncode == 0 and done.stderr == b""
        (response,) = lines(done.stdout)
        assert response["result"]["serverInfo"] == {"name": name, "version": "0.1.0"}
        assert response["result"]["protocolVersion"] == "2025-06-18"


def test_unknown_apps_and_usage_errors(vft):
    for args in (["Studio"], ["studio "], ["nope", "call"], ["nope", "call", "get_storage_info"]):
        done = vft.run(args)
        assert (done.returncode, done.stdout, done.err) == (2, b"", CHOOSE)
    done = vft.run(["bills", "call"])
    assert (done.returncode, done.stdout, done.err) == (2, b"", USAGE + "\n")
    assert not (vft.home / "bills").exists()


def test_one_shot_outcomes(vft):
    info = vft.call("studio", "get_storage_info")
    assert info.returncode == 0 and info.stderr == b""
    assert info.out.startswith('{\n  "app": "studio",\n') and info.out.endswith("}\n")
    assert info.json()["recordCount"] == 0
    # Anything after the JSON argument is ignored.
    assert vft.run(["studio", "call", "get_storage_info", "{}", "extra"]).returncode == 0
    assert vft.err("studio", "get_storage_info", raw="[]") == "Arguments must be an object"
    assert vft.err("studio", "get_storage_info", {"x": 1}) == "Unknown argument: x"
    assert vft.err("studio", "no_such_tool") == "Unknown tool"
    bad = vft.call("studio", "get_storage_info", raw='{"a":')
    assert bad.returncode == 2 and bad.stdout == b""
    assert "line 1, column" in bad.err and bad.err.endswith("\n")
    deep = vft.call("studio", "get_storage_info", raw="[" * 129 + "]" * 129)
    assert deep.returncode == 2 and "nesting" in deep.err


def test_session_framing_and_silence(vft):
    # What each request gets is in transcripts/legacy_envelope.txt; here, how lines are cut.
    stream = (b'{"id":1,"method":"ping"}\r\n'
              b"\n   \t \r\n" + "\u00a0\u3000".encode() + b"\n"
              b'{"method":"tools/call","params":{"name":"get_storage_info"}}\n'
              b'{"id":3,"method":"ping"}\x00{"id":4}\n'
              b'{"id":2,"method":"ping"}')
    done = vft.run(["studio"], input=stream)
    assert done.returncode == 0 and done.stderr == b""
    assert done.stdout == (b'{"id":1,"jsonrpc":"2.0","result":{}}\n'
                           b'{"error":{"code":-32700,"message":"Invalid JSON"},"id":null,"jsonrpc":"2.0"}\n'
                           b'{"id":2,"jsonrpc":"2.0","result":{}}\n')
    # The notification-style tools/call did not touch the store.
    assert not (vft.home / "studio").exists()


def test_invalid_utf8_ends_the_session_silently(vft):
    done = vft.run(["studio"], input=b'{"id":1,"method":"ping"}\n{"id":2,"x":"\xff"}\n'
                                      b'{"id":3,"method":"ping"}\n')
    assert done.returncode == 0 and done.stderr == b""
    assert [r["id"] for r in lines(done.stdout)] == [1]


def test_line_limit(vft):
    limit = 41_943_040
    head = b'{"id":1,"method":"ping","pad":"'
    exact = head + b"x" * (limit - len(head) - 2) + b'"}'
    assert len(exact) == limit
    done = vft.run(["studio"], input=exact + b"\r\n" + exact + b"x\n" + b'{"id":3,"method":"ping"}\n')
    assert done.returncode == 0
    assert [r["id"] for r in lines(done.stdout)] == [1]
    assert done.err == "Request exceeds 40 MiB\n"


def test_tools_list_and_call_envelope(vft):
    session = vft.session("bookmarks")
    tools = session.request("tools/list")["result"]["tools"]
    assert [t["name"] for t in tools][:2] == ["get_storage_info", "search_bookmarks"]
    result = session.call("get_storage_info", {})
    assert result["isError"] is False
    assert json.loads(result["content"][0]["text"]) == result["structuredContent"]
    assert result["content"][0]["text"] == json.dumps(result["structuredContent"], separators=(",", ":"),
                                                      sort_keys=True, ensure_ascii=False)
    assert result["structuredContent"]["storagePath"] == vft.path(vft.store_file("bookmarks"))
    # Every app answers get_storage_info; other tools of an app answer through its handler.
    out, err, status = session.close()
    assert (out, err, status) == (b"", b"", 0)


def test_closed_output_ends_the_session_quietly(vft):
    session = vft.session("studio")
    session.proc.stdout.close()
    try:
        for i in range(50):
            session.send({"id": i, "method": "ping"})
    except BrokenPipeError:
        pass
    try:
        session.proc.stdin.close()
    except BrokenPipeError:
        pass
    assert session.proc.wait(timeout=60) == 0
