"""Auto-update over an existing installation: the lock, the installed-release
check and replacement (byte-for-byte rollback: test_crash.py)."""
import os
import shutil
import signal
import subprocess
import time

import pytest

from conftest import RELEASE, TAG, has, installed_release, make_installer, tree_snapshot, write_files, zip_tree


def test_update_replaces_all_but_registration(plat, setup):
    exe, tree, install, work = setup
    before_reg = (install / "register.properties").read_bytes()
    out = plat.check(exe, "--auto-update", "-d", install, work=work).out
    has(out, "Auto-update installer succeeded", "Obtained installation lock", "Released installation lock")
    assert (install / "register.properties").read_bytes() == before_reg
    want = {rel: data for rel, data in tree_snapshot(tree).items() if rel != "register.properties" and data is not None}
    assert {rel: (install / rel).read_bytes() for rel in want} == want
    assert (install / TAG / "etc" / "local.conf").read_text() == "site settings\n"
    assert not (install / ".lock").exists()


def test_install_directory_option_without_its_value_is_refused(plat, setup):
    """An update service that passes "-d" without the directory would otherwise update the directory it runs in."""
    exe, _, install, work = setup
    before = tree_snapshot(install)
    r = plat.check(exe, "--auto-update", "-d", work=install, rc=2)
    has(r.out, "No install directory argument given")
    assert tree_snapshot(install) == before


def test_lock_file_blocks(plat, setup):
    exe, _, install, work = setup
    (install / ".lock").write_text("")
    assert "is blocked" in plat.check(exe, "--auto-update", "-d", install, work=work, rc=2).stderr


def age(path, minutes):
    """Sets a path's times (a link's own, not its target's) into the past."""
    old = time.time() - minutes * 60
    os.utime(path, (old, old), follow_symlinks=False)


def test_lock_link_blocks_and_is_never_followed(plat, setup):
    exe, _, install, work = setup
    victim = write_files(work / "victim", {"keep.txt": "keep\n", "sub/keep.txt": "keep\n"})
    for p in (victim / "sub", victim):
        age(p, 20)
    (install / ".lock").symlink_to(victim, target_is_directory=True)
    age(install / ".lock", 20)
    assert "is blocked" in plat.check(exe, "--auto-update", "-d", install, work=work, rc=2,
                                      extra={"QZR_TEST_LOCK_ATTEMPTS": "2"}).stderr
    assert tree_snapshot(victim) == {"keep.txt": b"keep\n", "sub": None, "sub/keep.txt": b"keep\n"}
    assert (install / ".lock").is_symlink()
    assert [p.name for p in install.iterdir() if p.name.startswith(".lock")] == [".lock"]


def test_lock_that_cannot_be_created_fails_at_once(plat, setup):
    exe, _, install, work = setup
    subprocess.run(["chattr", "+i", str(install)], check=True)  # even root cannot add entries
    try:
        r = plat.check(exe, "--auto-update", "-d", install, work=work, rc=2, extra={"QZR_TEST_LOCK_ATTEMPTS": "2"})
    finally:
        subprocess.run(["chattr", "-i", str(install)], check=True)
    line = next((l for l in r.stderr.splitlines() if "Cannot create installation lock" in l), "")
    assert ("not permitted" in line) or ("denied" in line.lower()), r.stderr
    assert "Failed to obtain installation lock" not in r.stderr


def test_fresh_lock_makes_installer_wait_and_fail_and_a_stale_one_is_removed(plat, setup):
    exe, _, install, work = setup
    (lock := install / ".lock").mkdir()
    start = time.time()
    r = plat.check(exe, "--auto-update", "-d", install, work=work, rc=2, extra={"QZR_TEST_LOCK_ATTEMPTS": "3"})
    has(r.stderr, "will wait 180 seconds", "Failed to obtain installation lock")
    assert time.time() - start >= 2.5
    assert lock.is_dir()  # somebody else's lock stays
    age(lock, 13)
    assert "Removed stale installation lock" in plat.check(exe, "--auto-update", "-d", install, work=work).out
    assert not lock.exists()


def test_installed_release_is_refused(plat, setup):
    exe, _, install, work = setup
    shutil.copytree(installed_release(plat, install / "2025_1_0_20250129_14-installed"), install / "latest")
    has(plat.check(exe, "--auto-update", "-d", install, work=work, rc=2).stderr,
        "there is already a valid installation for that version")


@pytest.mark.parametrize("plat", ["native"], indirect=True)
@pytest.mark.parametrize("name,says", [("theirs", "can be changed by another user"), ("x$(touch ran)", "interpreter")])
def test_installation_whose_programs_are_not_asked(plat, setup, name, says):
    """Not run as root: programs another user could have put there, or whose path the command interpreter changes."""
    exe, _, install, work = setup
    installed_release(plat, install / name).chmod(0o777 if name == "theirs" else 0o755)
    has(plat.check(exe, "--auto-update", "-d", install, work=work).out, says, "not asking",
        "Auto-update installer succeeded")
    assert not list(work.rglob("ran"))


def test_incomplete_installation_is_not_counted(plat, setup):
    exe, _, install, work = setup
    write_files(install, {"half/etc/branch": "# branch file\n" + RELEASE + "\n"})
    has(plat.check(exe, "--auto-update", "-d", install, work=work).stderr, "is not complete",
        *(f"{name}{plat.exe_suffix} does not exist" for name in ("agentsvc", "agentctl")))  # every one is named


def slow_installer(plat, work, script):
    """An installer of the work's payload whose (POSIX) installer script is script."""
    (work / "payload" / TAG / "bin" / "installer.sh").write_text("#!/bin/sh\n" + script + "exit 0\n")
    return make_installer(plat, zip_tree(work / "payload", work / "slow.zip"), work / "slow-setup")


@pytest.mark.parametrize("plat", ["native"], indirect=True)
def test_two_installers_never_overlap(plat, setup):
    _, _, install, work = setup
    stamp = work / "stamps.txt"
    exe = slow_installer(plat, work, f"echo start $$ >> '{stamp}'\nsleep 2\necho end $$ >> '{stamp}'\n")
    procs = [plat.popen(exe, "--auto-update", "-d", install, cwd=work, env=plat.env(work)) for _ in range(2)]
    results = [p.communicate(timeout=120) for p in procs]
    assert [p.returncode for p in procs] == [0, 0], results
    assert [l.split()[0] for l in stamp.read_text().splitlines()] == ["start", "end", "start", "end"]


@pytest.mark.parametrize("plat", ["native"], indirect=True)
def test_interrupt_during_script_cleans_up(plat, setup):
    _, _, _, work = setup
    started = work / "started"
    exe = slow_installer(plat, work, f"touch '{started}'\nsleep 5\n")
    p = plat.popen(exe, cwd=work, env=plat.env(work))
    for _ in range(200):
        if not started.exists():
            time.sleep(0.05)
    assert started.exists()
    os.killpg(p.pid, signal.SIGINT)  # as a terminal does: the whole process group
    out, err = p.communicate(timeout=60)
    assert p.returncode == 1, out + err
    assert plat.leftover_temp_dirs(work) == []
