"""Recorded sessions, byte for byte: each file in transcripts/ names its app (`app: NAME`),
the lines sent (`> `) and the lines expected back (`< `), in order; `#` starts a comment.
All lines are piped in at once and input is closed, as a script would; the output must be
exactly the expected lines, with nothing on standard error and exit status 0. In expected
lines @@STORAGE@@ stands for the platform's storage sentence, @@VERSION@@ for the build's
version (project() in CMakeLists.txt, its one home) and @@ICON@@ for the program's icon in
base64."""
import base64
import os
import re

import pytest

from conftest import WINE

STORAGE = (b"Storage stays on this Windows computer;" if WINE
           else b"Storage stays on this computer;")
HERE = os.path.join(os.path.dirname(__file__), "transcripts")
with open(os.path.join(HERE, "..", "..", "..", "CMakeLists.txt"), "rb") as listing:
    VERSION = re.search(rb"project\(\S+ VERSION ([0-9.]+)", listing.read()).group(1)
with open(os.path.join(HERE, "..", "..", "..", "doc", "icon.png"), "rb") as icon_file:
    ICON = base64.b64encode(icon_file.read())
CASES = sorted(name for name in os.listdir(HERE) if name.endswith(".txt"))


def read_transcript(path):
    app, sent, expected = None, [], []
    with open(path, "rb") as f:
        for number, line in enumerate(f.read().split(b"\n"), 1):
            if line.startswith(b"> "):
                sent.append(line[2:])
            elif line.startswith(b"< "):
                expected.append(line[2:].replace(b"@@STORAGE@@", STORAGE)
                                .replace(b"@@VERSION@@", VERSION).replace(b"@@ICON@@", ICON))
            elif line.startswith(b"app: "):
                app = line[5:].decode()
            elif line and not line.startswith(b"#"):
                raise ValueError(f"{path}:{number}: not a transcript line: {line!r}")
    return app, sent, expected


def lines_out(lines):
    return b"".join(line + b"\n" for line in lines)


@pytest.mark.parametrize("name", CASES)
def test_transcript(vft, name):
    app, sent, expected = read_transcript(os.path.join(HERE, name))
    done = vft.run([app], input=lines_out(sent))
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout.split(b"\n")[:-1] == expected
    assert done.stdout == lines_out(expected)
