"""The progress line: on a terminal it appears, is redrawn and never tears a
log record; where no person sees the console it is not written at all."""
import os
import re
import shutil
import subprocess
import zipfile

import pytest

from conftest import WINE_RUN, WINEPREFIX, Platform, make_installer, run_in_pty

COLUMNS = 100
DRAW = re.compile(rb"\r(Extracting [^\r\n]*)")
ERASE = re.compile(rb"\r( *)\r")
RECORD = re.compile(rb"(INFO |DEBUG|WARN |ERROR|FATAL|TRACE) \d{4}-\d\d-\d\d [^\n]* - ")


def random_installer(plat, path, names):
    """An installer of stored entries: each of names with 96 KiB of random data, or a directory when it ends in "/"."""
    with zipfile.ZipFile(path.with_suffix(".zip"), "w", zipfile.ZIP_STORED) as f:
        for name in names:
            f.writestr(name, "" if name.endswith("/") else os.urandom(96 * 1024))
    return make_installer(plat, path.with_suffix(".zip"), path)


@pytest.fixture
def big(tmp_path):
    """An installer whose extraction takes long enough for several drawings: many stored files of random data, each
    written and moved, each close slowed down through the test seam (SLOW_CLOSE)."""
    return random_installer(Platform("native"), tmp_path / "big", ["data/"] + [f"data/f{i:04}.bin" for i in range(400)])


SLOW_CLOSE = {"QZR_TEST_CLOSE_DELAY_MS": "3"}  # 400 closes: over a second


def env(extra=None):
    return {**{k: v for k, v in os.environ.items() if not k.startswith("QZR_")}, **(extra or {})}


def screen(raw):
    """Reads the bytes a console received: returns the drawings of the line and the text without them. Fails when a
    record is written while the line is shown (torn), when an erase or a longer drawing does not cover what was shown,
    or when the line is left on the console at the end."""
    shown, draws, text, pos = 0, [], bytearray(), 0
    while pos < len(raw):
        m = ERASE.match(raw, pos)
        if m:
            assert len(m.group(1)) >= shown, raw[max(0, pos - 200):pos + 200]
            shown, pos = 0, m.end()
            continue
        m = DRAW.match(raw, pos)
        if m:
            line = m.group(1)
            assert len(line) >= shown and len(line.rstrip()) < COLUMNS, line
            draws.append(line.rstrip())
            shown, pos = len(line.rstrip()), m.end()
            continue
        assert shown == 0, f"text written over the progress line: {raw[pos - 100:pos + 100]!r}"
        end = raw.find(b"\r", pos + 1)  # a record's lines end in "\r\n"
        end = len(raw) if end < 0 else end
        text += raw[pos:end]
        pos = end
    assert shown == 0, "the progress line stays on the console"
    return draws, bytes(text)


def run_to_file(cmd, cwd, path):
    """Runs cmd with standard output and error redirected to a file; returns (exit code, the file's bytes)."""
    with open(path, "wb") as out:
        rc = subprocess.run(cmd, cwd=cwd, env=env(), stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                            timeout=300).returncode
    return rc, path.read_bytes()


def normalise(text):
    """Log text without what differs between two runs: times, process ids, durations and rates."""
    text = re.sub(rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} \S+ \[\d+-", b"T [P-", text)
    return re.sub(rb"in [\d.]+ seconds / [\d.]+ MB/s", b"in S", text)


def test_line_is_drawn_redrawn_and_never_tears_a_record(big, tmp_path):
    target = tmp_path / "out"
    args = [str(big), "--unpack", str(target), "-verbose", "2"]
    rc, raw = run_in_pty(args, cwd=tmp_path, env=env(SLOW_CLOSE), columns=COLUMNS)
    assert rc == 0, raw[-2000:]
    draws, text = screen(raw)
    assert len(draws) >= 2 and len(set(draws)) >= 2, draws  # redrawn with new counts
    assert re.fullmatch(rb"Extracting \d+/401 entries, [\d.]+/37\.5 MB, \d+%, [\d.]+ MB/s", draws[-1]), draws[-1]
    lines = text.split(b"\r\n")
    assert lines.pop() == b""
    assert all(RECORD.match(line) for line in lines), [line for line in lines if not RECORD.match(line)][:3]
    assert b"Inflated" in text or b"Extracted" in text

    # Standard error in a file: the same records, and nothing of the line.
    shutil.rmtree(target)
    rc, redirected = run_to_file(args, tmp_path, tmp_path / "err.txt")
    assert (rc, normalise(redirected)) == (0, normalise(text))


@pytest.mark.parametrize("extra_args,extra_env", [
    ([], {"QZR_PROGRESS": "off"}),
    (["-u", "stderr"], {}),  # unattended, even with the log on the console
    (["--logfile", "{tmp}/sfx.log"], {}),
    ([], {"QZR_LOGFILE": "stdout"}),
    ([], {"QZR_LOG_PIPE": "Y"}),
])
def test_not_drawn_where_no_person_sees_the_log(big, tmp_path, extra_args, extra_env):
    args = [str(big)] + [a.format(tmp=tmp_path) for a in extra_args] + ["--unpack", str(tmp_path / "out")]
    rc, raw = run_in_pty(args, cwd=tmp_path, env=env(extra_env), columns=COLUMNS)
    assert rc == 0 and b"Extracting " not in raw and raw.count(b"\r") == raw.count(b"\r\n"), raw[-2000:]


@pytest.fixture
def windows_installer(tmp_path):
    plat = Platform("wine")
    if not plat.stub.exists():
        pytest.fail(f"stub {plat.stub} is not built")
    return random_installer(plat, tmp_path / "setup", [f"data/f{i:03}.bin" for i in range(200)])


def test_redirected_windows_run_is_unchanged(windows_installer, tmp_path):
    """Under wine with standard error in a file: no console, so no line."""
    rc, out = run_to_file([str(WINE_RUN), str(windows_installer), "--unpack", "out", "-verbose", "2"], tmp_path,
                          tmp_path / "err.txt")
    assert rc == 0 and b"Extracting " not in out and out.count(b"\r") == out.count(b"\r\n"), out[-2000:]
    records = [line for line in out.split(b"\r\n") if RECORD.match(line)]
    assert len(records) >= 201 and b"Unpacked 200 files" in out


def test_windows_console_shows_the_line(windows_installer, tmp_path):
    """Wine's console on a terminal (it renders the console's screen with escape sequences of its own): the line appears
    with new counts and is gone after the walk."""
    wine = shutil.which("wine64") or "/usr/lib/wine/wine64"
    e = env({"WINEPREFIX": str(WINEPREFIX), "WINEDEBUG": "-all", "QZR_TEST_CLOSE_DELAY_MS": "10"})
    rc, raw = run_in_pty([wine, str(windows_installer), "--unpack", "out", "-verbose", "1"], cwd=tmp_path, env=e,
                         stdin_tty=True, timeout=240)
    assert rc == 0, raw[-2000:]
    draws = re.findall(rb"Extracting \d+/200 entries, [\d.]+/18\.8 MB, \d+%, [\d.]+ MB/s", raw)
    assert len(set(draws)) >= 2, raw[-2000:]
    assert b"Extracting" not in raw[raw.rindex(b"Unpacked 200 files"):], raw[-600:]
