"""Paths as users and the environment spell them: trailing and doubled
separators, "/", "." and "..", relative install directories."""
import os

import pytest

from conftest import TAG, expect_rc, has, installed_release, tree_snapshot

# How a user may write the directory d (its parent exists).
SPELLINGS = {
    "trailing": lambda plat, d: plat.path(d) + plat.sep,
    "doubled": lambda plat, d: plat.path(d.parent) + plat.sep * 2 + d.name,
    "dotdot": lambda plat, d: plat.sep.join([plat.path(d.parent), "x", "..", d.name]),
    "dot": lambda plat, d: plat.sep.join([plat.path(d.parent), ".", d.name, "."]),
    "slash": lambda plat, d: plat.path(d.parent) + "/" + d.name,
}


@pytest.mark.parametrize("spelling", SPELLINGS)
def test_install_and_unpack_directory_spellings(plat, setup, spelling):
    exe, tree, install, work = setup
    assert "Released installation lock" in plat.check(exe, "--auto-update", "-d", SPELLINGS[spelling](plat, install),
                                                      work=work, extra={"QZR_TEST_LOCK_ATTEMPTS": "3"}).out
    assert sorted(p.name for p in work.rglob(".lock")) == []
    (target := work / "unpacked").mkdir()
    plat.check(exe, "--unpack", SPELLINGS[spelling](plat, target), work=work)
    assert tree_snapshot(target) == tree_snapshot(tree)


def run_with_temp(plat, exe, temp, work):
    """Runs exe with TEMP and TMP set to temp. Wine sets both from its
    registry, so there they are set by a batch file that starts exe."""
    if not plat.wine:
        return plat.run(exe, cwd=work, env=plat.env(work, {"TEMP": temp, "TMP": temp}))
    wrapper = work / "with-temp.cmd"
    wrapper.write_text(f'@set "TEMP={temp}"\r\n@set "TMP={temp}"\r\n@"{plat.path(exe)}"\r\n@exit /b %ERRORLEVEL%\r\n')
    return plat.run("cmd", "/c", plat.path(wrapper), cwd=work, env=plat.env(work))


@pytest.mark.parametrize("spelling", ["trailing", "doubled", "dotdot", "slash"])
def test_temp_directory_spellings(plat, setup, spelling):
    exe, _, _, work = setup
    out = expect_rc(run_with_temp(plat, exe, SPELLINGS[spelling](plat, work / "tmp"), work)).out
    has(out, "Installation succeeded", plat.path(work / "tmp") + plat.sep + "installer-" + TAG)
    assert list((work / "tmp").iterdir()) == []


@pytest.mark.parametrize("option,spelling", [("-u", "slash"), ("--logfile", "dotdot"), ("-u", "doubled"),
                                             ("-u", "long")])
def test_log_file_spellings(plat, setup, option, spelling):
    exe, _, _, work = setup
    (work / "logs").mkdir()
    long = lambda plat, d: ("\\\\?\\" if plat.wine else "") + plat.path(d)  # "\\?\" on Windows
    log = SPELLINGS.get(spelling, long)(plat, work / "logs") + plat.sep + "run.log"
    plat.check(exe, option, log, work=work)
    assert "Installation succeeded" in (work / "logs" / "run.log").read_text(encoding="utf-8-sig", errors="replace")


@pytest.mark.parametrize("plat", ["native"], indirect=True)
def test_log_named_by_a_pipe_without_a_reader_does_not_hold_up_the_run(plat, setup):
    exe, _, _, work = setup
    os.mkfifo(work / "pipe.log")
    r = plat.check(exe, "-u", work / "pipe.log", work=work)
    has(r.out, "Failed to switch log to", "Installation succeeded")


def test_relative_install_directory(plat, setup):
    """A relative -d names a directory below the starting directory: the lock
    is taken and released there, and the installed-release check sees it."""
    exe, _, install, work = setup
    out = plat.check(exe, "--auto-update", "-d", "install", work=work).out
    assert f"Released installation lock {plat.path(install / '.lock')}" in out
    assert not (install / "install").exists()  # no lock one level too deep
    assert [p.name for p in install.iterdir() if p.name.startswith(".lock")] == []
    installed_release(plat, install / "installed")
    has(plat.check(exe, "--auto-update", "-d", "install", work=work, rc=2).stderr,
        "there is already a valid installation for that version")
    assert not (install / ".lock").exists()


def test_unpack_into_a_directory_past_the_short_path_limit(plat, setup):
    exe, tree, _, work = setup
    target = work.joinpath(*["d" * 60] * 5)
    plat.check(exe, "--unpack", plat.path(target), work=work)
    assert tree_snapshot(target) == tree_snapshot(tree)
