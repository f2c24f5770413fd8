"""The self-extractor as a user runs it: installer mode, unpacking, patterns, the script hand-over and its logs."""
import os
import re
import signal
import stat
import subprocess
import time
import zipfile
from pathlib import Path

import pytest

from conftest import (RELEASE, TAG, assert_holds_tree, expect_rc, has, make_installer, tree_snapshot, write_files,
                      zip_entries, zip_tree)


@pytest.fixture
def work(tmp_path):
    (tmp_path / "tmp").mkdir(mode=0o755)
    (tmp_path / "out").mkdir()  # a directory to run or unpack in
    return tmp_path


def test_install_mode_script_logs_rollback_copyright_and_unattended_log(plat, setup):
    exe, _, _, work = setup
    out = plat.check(exe, "first arg", "-x", work=work).out
    # The script's own log is copied between the dashed lines; companion files come along.
    args = (['args: "first arg" "-x" "-f" ', 'stdout.log" "-l" "INFO"'] if plat.wine else
            ["arg[0]=first arg", "arg[1]=-x", "arg[2]=-f", "stdout.log", "arg[4]=-l", "arg[5]=INFO"])
    has(out, "Installation succeeded", "Content of installer.log:\n-----------------------\n",
        "demo installer running in", "installer-helper.txt", *args, lacks=("ERROR",))
    assert plat.leftover_temp_dirs(work) == []  # the temporary installer directory is gone
    # A failing script: rolled back, and its logs still copied.
    out = plat.check(exe, work=work, rc=2, extra={"DEMO_INSTALLER_EXIT": "3"}).out
    has(out, "Installation failed", "Content of installer.log:")
    assert plat.leftover_temp_dirs(work) == []
    lines = plat.check(exe, "-copyright", work=work).stdout.splitlines()
    assert lines[0].startswith("Copyright") and lines[1] == RELEASE
    log = work / "unattended.log"
    plat.check(exe, "-u", log, work=work)
    has(log.read_text(encoding="utf-8-sig", errors="replace"), "Installation succeeded", "Content of installer.log:")


def test_unpack_into_new_and_existing_directory(plat, setup):
    exe, tree, _, work = setup
    assert "No unpack directory argument given" in plat.check(exe, "--unpack", work=work, rc=2).stderr
    existing = write_files(work / "existing", {"keep.txt": "mine", "register.properties": "old"})
    for target in (work / "new" / "deeper", existing):
        plat.check(exe, "--unpack", target, work=work)
        assert_holds_tree(target, tree)
        assert not (target / TAG / "bin" / "installer.log").exists()  # no script runs when unpacking
    assert (existing / "keep.txt").read_text() == "mine"


@pytest.mark.parametrize("args,rc,says", [
    (["--logfile"], 2, "--logfile option to set log file needs argument"),
    (["--loglevel"], 2, "--loglevel option to set log level needs argument"),
    (["-u"], 2, "No log file argument given"),
    (["--", "-u", "x.log"], 0, "Unzipping files in"),  # after "--" the arguments are the script's
    (["-u", "x-${Unknown}.log"], 0, "x-${Unknown}.log holds a variable without a value"),
], ids=["--logfile last", "--loglevel last", "-u last", "-u after --", "unknown variable"])
def test_option_values_and_the_end_of_options(plat, setup, args, rc, says):
    exe, _, _, work = setup
    has(plat.check(exe, "--unpack", work / "u", *args, work=work, rc=rc).out, says)
    assert (work / "u").exists() == (rc == 0) and not (work / "x.log").exists()


def marker_script(plat, path: Path, marker: Path):
    """A script at path (this platform's kind) that leaves marker behind and succeeds."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(f'echo ran > "{plat.path(marker)}"\r\nexit 0\r\n' if plat.wine else
                    f"#!/bin/sh\necho ran > '{marker}'\nexit 0\n")
    path.chmod(0o755)


def test_pattern_extracts_only_matching_entries(plat, setup):
    exe, tree, _, work = setup
    (out_dir := work / "out").mkdir()
    # A script of that name already there is not the archive's: it is not run.
    marker_script(plat, out_dir / TAG / "bin" / plat.script, work / "ran")
    r = expect_rc(plat.run(exe, "--pattern", f"{TAG}/etc/*", cwd=out_dir, env=plat.env(work)))
    assert (out_dir / TAG / "etc" / "branch").read_text().strip() == RELEASE
    assert not (out_dir / TAG / "www").exists() and not (out_dir / "register.properties").exists()
    assert "was not extracted; nothing to run" in r.stderr
    assert not (work / "ran").exists()
    # With an unpack directory the pattern selects what goes there.
    plat.check(exe, "--pattern", f"{TAG}/etc/*", "--unpack", work / "some", work=work)
    files = sorted(p.relative_to(tree) for p in tree.rglob("*") if p.is_file())
    etc = [p for p in files if p.parts[:2] == (TAG, "etc")]
    assert sorted(p.relative_to(work / "some") for p in (work / "some").rglob("*") if p.is_file()) == etc != files


def test_script_named_with_pattern_characters_is_installed_and_run(plat, work):
    top = work / "payload" / "b[1]"
    marker_script(plat, top / "bin" / plat.script, work / "ran")
    write_files(top, {"etc/branch": RELEASE + "\n"})
    exe = make_installer(plat, zip_tree(work / "payload", work / "p.zip"), work / "glob-setup")
    r = expect_rc(plat.run(exe, cwd=work / "out", env=plat.env(work)))
    assert (work / "ran").exists(), r.stderr


@pytest.mark.parametrize("plat", ["native"], indirect=True)
@pytest.mark.parametrize("cut", ["SIGINT", "SIGQUIT", "log reader gone"])
def test_unpack_cut_short_loses_nothing(plat, work, cut):
    """Ctrl-C or Ctrl-\\ while files are extracted: the extraction is undone. The reader of the log going away (a closed pipe)
    does not end the run half-way. Either way the user's files are at their names, and nothing is left behind."""
    src = write_files(work / "big", {"www/a.txt": "NEW", **{f"www/m{i:05}": "x" * 100 for i in range(20000)}})
    exe = make_installer(plat, zip_tree(src, work / "big.zip"), work / "big-setup")
    target = write_files(work / "out", {"www/a.txt": "USER"})
    before = tree_snapshot(target)
    p = plat.popen(exe, "--unpack", target, *(["-l", "debug"] if cut == "log reader gone" else []), cwd=work,
                   env=plat.env(work))
    if cut != "log reader gone":
        for _ in range(2000):
            if len(list((target / "www").iterdir())) > 1:
                break
            time.sleep(0.005)
        os.killpg(p.pid, getattr(signal, cut))
        out, err = p.communicate(timeout=120)
        assert p.returncode == 1, err
        assert tree_snapshot(target) == before
        return
    p.stderr.read(2_000_000)
    p.stderr.close()
    p.stdout.close()
    assert p.wait(timeout=120) == 0
    assert tree_snapshot(target) == {**tree_snapshot(src), "www/a.txt": b"NEW"}


@pytest.mark.parametrize("streams", ["open", "closed"])
def test_corrupt_entry_rolls_back_with_or_without_standard_streams(plat, work, streams):
    """A CRC mismatch fails the unpack and puts the previous file back. Started without standard output and error (as
    a service may start it), the run must not write its log records into a descriptor it opened for itself."""
    if streams == "closed" and plat.wine:
        pytest.skip("closing descriptors of a process under wine closes wine's")
    z = zip_entries(work / "plain.zip", [(f"www/f{i:02}.txt", "A" * 5000, False) for i in range(30)] +
                    [("zz/b.txt", "B" * 5000, False)])  # stored
    data = bytearray(z.read_bytes())
    data[data.find(b"B" * 100) + 10] ^= 0xFF  # CRC mismatch in the last entry
    z.write_bytes(bytes(data))
    exe = make_installer(plat, z, work / "bad-setup")
    out_dir = write_files(work / "out", {"www/f07.txt": "previous"})
    if streams == "open":
        plat.check(exe, "--unpack", out_dir, work=work, rc=2)
    else:
        r = subprocess.run(["bash", "-c", '"$0" --unpack "$1" 1>&- 2>&-; echo $?', exe, out_dir], cwd=work,
                           env=plat.env(work), capture_output=True, text=True)
        assert r.stdout.strip() == "2", r.stderr
    assert tree_snapshot(out_dir) == {"www": None, "www/f07.txt": b"previous"}


@pytest.mark.parametrize("plat", ["native"], indirect=True)
def test_nothing_extracted_is_writable_by_others(plat, work):
    """Whatever the umask and the archive's modes, an extraction (maybe run as root) makes nothing others may write."""
    with zipfile.ZipFile(z := work / "modes.zip", "w") as zf:
        for name, system, attr in (("www/run.sh", 3, 0o100777 << 16), ("www/dos.txt", 0, 0x20)):
            info = zipfile.ZipInfo(name)
            info.create_system, info.external_attr = system, attr  # a Unix mode, or DOS attributes only
            zf.writestr(info, "#!/bin/sh\n")
    exe = make_installer(plat, z, work / "modes-setup")
    r = subprocess.run(["bash", "-c", 'umask 000 && exec "$0" --unpack "$1"', exe, work / "out"], cwd=work,
                       env=plat.env(work), capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    modes = {p.name: stat.S_IMODE(p.stat().st_mode) for p in [work / "out" / "www", *(work / "out" / "www").iterdir()]}
    assert {name: mode & 0o002 for name, mode in modes.items()} == {"www": 0, "run.sh": 0, "dos.txt": 0}, modes


def test_entry_at_the_runs_own_log_is_refused(plat, work):
    """An archive entry that would replace the log this run writes: refused, and the log keeps its records."""
    exe = make_installer(plat, zip_entries(work / "p.zip", [("setup.log", "FROM THE ARCHIVE", False)]),
                         work / "log-setup")
    target = work / "out"
    log = target / "setup.log"
    log.write_text("older records\n")
    plat.check(exe, "--unpack", target, "-u", log, work=work, rc=2)
    has(log.read_text(errors="replace"), "older records", "Unzipping files in", "is the log of this run",
        lacks=("FROM THE ARCHIVE",))


def test_archive_without_script_unpacks_everything_here(plat, work):
    src = write_files(work / "plain", {"docs/readme.txt": "hello\n", "data.bin": bytes(range(256)) * 40})
    exe = make_installer(plat, zip_tree(src, work / "plain.zip"), work / "plain-setup")
    expect_rc(plat.run(exe, cwd=work / "out", env=plat.env(work)))
    assert_holds_tree(work / "out", src)


@pytest.mark.parametrize("plat", ["native"], indirect=True)
def test_only_the_scripts_plain_log_files_are_copied(plat, setup):
    """The *.log files the script leaves are copied into the log; a link named *.log (to a file outside, to a device),
    a FIFO, and a tree deeper than the script ever makes are neither followed nor read, and the run ends normally."""
    _, tree, _, work = setup
    (work / "secret.txt").write_text("OUTSIDE SECRET")
    script = tree / TAG / "bin" / plat.script
    script.write_text('#!/bin/sh\necho "own record" > own.log\nprintf "no line end" > z.log\nln -s "$SECRET" link.log\n'
                      'ln -s /dev/zero zero.log\n'
                      'mkfifo fifo.log\nmkdir -p deep && cd deep && for i in $(seq 1000); do mkdir d; cd d; done\n'
                      'echo "too deep" > deep.log\nexit 0\n')
    exe = make_installer(plat, zip_tree(tree, work / "payload.zip"), work / "setup")
    r = plat.check(exe, work=work, extra={"SECRET": str(work / "secret.txt")})
    has(r.out, "Content of own.log:", "own record", "no line end\n-----", "Installation succeeded",
        lacks=("OUTSIDE SECRET", "too deep"))


@pytest.mark.parametrize("plat", ["native"], indirect=True)
def test_clean_up_never_enters_a_directory_mounted_in_the_temporary_directory(plat, setup):
    """A script that leaves a directory of the system mounted in its temporary directory: the clean-up does not enter
    it, so nothing the mounted directory holds is deleted."""
    _, tree, _, work = setup
    victim = work / "victim"
    write_files(victim, {"sub/keep.txt": "KEEP", "o.log": "OUTSIDE LOG"})
    in_namespace = ("unshare", "-m", "--propagation", "private")
    probe = subprocess.run([*in_namespace, "sh", "-c", f'mkdir -p "{work}/m" && mount --bind "{victim}" "{work}/m"'],
                           capture_output=True)
    if probe.returncode != 0:
        pytest.skip("no private mounts here")
    script = tree / TAG / "bin" / plat.script
    script.write_text('#!/bin/sh\nmkdir -p a/m && mount --bind "$VICTIM" a/m && exit 0\nexit 9\n')
    exe = make_installer(plat, zip_tree(tree, work / "payload.zip"), work / "setup")
    r = expect_rc(plat.run(in_namespace[0], *in_namespace[1:], exe, cwd=work, env=plat.env(work, {"VICTIM": str(victim)})))
    has(r.out, "Installation succeeded", lacks=("OUTSIDE LOG",))
    assert re.search(r"Not removing m in \S+/installer-\S+\.tmp/a: another directory is mounted there", r.out), r.out
    assert (victim / "sub" / "keep.txt").read_text() == "KEEP"


def test_script_gets_the_child_log_level(plat, setup):
    _, tree, _, work = setup
    script = tree / TAG / "bin" / plat.script
    script.write_bytes(b"@echo QZR_LOGLEVEL=[%QZR_LOGLEVEL%]\r\n" if plat.wine else
                       b'#!/bin/sh\necho "QZR_LOGLEVEL=[$QZR_LOGLEVEL]"\n')
    script.chmod(0o755)
    exe = make_installer(plat, zip_tree(tree, work / "payload.zip"), work / "setup")
    for level, child in (("debug", "DEBUG"), ("info,common.zip=trace", "INFO")):
        assert f"QZR_LOGLEVEL=[{child}]" in plat.check(exe, "--loglevel", level, work=work).out, level
