"""Program entry: version queries, logging options and exit codes."""
import re

import pytest

from conftest import RELEASE, expect_rc, has

BUILD_LINE = "Build: 2025.1.0-20250129_14-41a0bf0acd5"
VERSION = BUILD_LINE.split()[1]
# Names whose values the log masks, whatever their letter case.
SECRETS = {"SFX_E2E_SECRET_TOKEN": "do-not-log-me", "SFX_E2E_PROXY_PASSWORD": "hunter2", "sfx_e2e_token": "tok-123"}
RECORD = re.compile(r"^INFO  \d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} Etc/GMT\S* \[\d+-utilix\] main\.main - Build", re.M)


@pytest.mark.parametrize("args,rc,says,stdout", [
    (["-v"], 0, [BUILD_LINE, "Compiled on: 2025-01-29", RECORD], ""),
    (["-V"], 0, [BUILD_LINE, "Compiled on: 2025-01-29", RECORD], ""),
    (["--secureversion"], 3, [BUILD_LINE, "FATAL", "is missing; encryption is not available"], None),
    (["--loglevel", "debug", "-v"], 0, ["logParseLevels('debug'"], VERSION),  # the option reaches the driver
    (["-v", "--loglevel"], None, ["--loglevel option to set log level needs argument"], None),
    ([], 2, ["No installation content found in"], None),
    (["-copyright"], 2, [], None),
], ids=["-v", "-V", "--secureversion", "--loglevel then -v", "--loglevel without value", "no archive", "-copyright"])
def test_entry_options_and_exit_codes(plat, args, rc, says, stdout):
    """The stub alone: what it says on standard error, prints on standard output (None: never the release), returns."""
    r = plat.run(plat.stub, *args)
    assert rc is None or r.returncode == rc, r.stderr
    for text in says:
        assert (text.search(r.stderr) if isinstance(text, re.Pattern) else text in r.stderr), (text, r.stderr)
    assert r.stdout.strip() == stdout if stdout is not None else RELEASE not in r.stdout, r.stdout


def test_logfile_receives_the_records_or_falls_back(plat, tmp_path):
    """--logfile sends everything to a new UTF-8 file with full record
    prefixes; the run's environment is in it with secrets masked."""
    (log := tmp_path / "logs" / "x.log").parent.mkdir()
    r = expect_rc(plat.run(plat.stub, "--logfile", log, "--loglevel", "debug", "-v", cwd=tmp_path,
                           env={**SECRETS, "SFX_E2E_PLAIN": "plain-value"}))
    assert r.stdout.strip() == VERSION
    assert (raw := log.read_bytes()).startswith(b"\xef\xbb\xbf")
    text = raw.decode("utf-8-sig")
    assert re.search(r"^DEBUG \d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} \S+ \[\d+-\S+\] common\.logging - Logging to .*x\.log "
                     r"at level DEBUG", text, re.M), text[:2000]
    has(text, "opsys.conv - Internal character set is UTF-8", "opsys.conv - HTTP hdr character set is ",
        "SFX_E2E_PLAIN=plain-value", *(name + "=********" for name in SECRETS), lacks=SECRETS.values())
    assert "logParseLevels('debug'" not in r.stderr, "records belong in the file, not on standard error"
    # A log file that cannot be opened: standard error at the level asked for, one warning, the system's error text.
    r = expect_rc(plat.run(plat.stub, "--logfile", "/nonexistent/dir/x.log", "--loglevel", "debug", "-v", cwd=tmp_path))
    assert "unable to specify details" not in r.stderr
    assert re.search(r"^DEBUG .* common\.logging - logParseLevels\('debug'", r.stderr, re.M), r.stderr
    assert len(re.findall(r"^WARN .* Failed to switch log to", r.stderr, re.M)) == 1, r.stderr


def test_socket_log_target_receives_the_whole_run(plat):
    """QZR_LOG_PIPE=socket:... sends the log, up to the last line of the run, to a TCP listener."""
    import socket
    import threading

    server = socket.create_server(("127.0.0.1", 0))
    server.settimeout(60)
    received = []

    def serve():
        conn, _ = server.accept()
        with conn, conn.makefile("rb") as f:
            received.append(f.read())

    (thread := threading.Thread(target=serve)).start()
    try:
        r = plat.run(plat.stub, "--loglevel", "debug", "-copyright",
                     env={"QZR_LOG_PIPE": f"socket:127.0.0.1:{server.getsockname()[1]}"})
        thread.join(60)
    finally:
        server.close()
    text = b"".join(received).decode("utf-8", "replace")
    assert r.returncode == 2 and "No installation content found in" not in r.stderr, r.stderr
    assert "No installation content found in" in text, text[-2000:]
    assert re.search(r"^DEBUG .* main\.main - exit 2$", text, re.M), text[-2000:]

