"""An auto-update that ends abruptly (at every file-system call through the test seam, or by SIGKILL at random moments)
is undone by the next run: the installation is the old one, or the new one after the commit, never a mix, and nothing is
left behind."""
import os
import random
import shutil
import signal
import time

import pytest

from conftest import TAG, make_installer, tree_snapshot, write_files, zip_tree

SCRIPT_LOG = f"{TAG}/bin/installer.log"  # written by the script itself


def state(root):
    return {rel: data for rel, data in tree_snapshot(root).items() if rel != SCRIPT_LOG}


def leftovers(root):
    return sorted(p.relative_to(root).as_posix() for p in root.rglob("*")
                  if p.name.startswith(".lock") or p.name.endswith(".tmp"))


@pytest.fixture
def update(plat, setup):
    """An old installation and an installer that replaces most of it, adds a
    directory and keeps the registration; returns (exe, old, new, work)."""
    _, tree, install, tmp_path = setup
    write_files(tree / TAG / "www" / "new", {f"p{i}.html": f"page {i}\n" for i in range(3)})
    exe = make_installer(plat, zip_tree(tree, tmp_path / "payload.zip"), tmp_path / "setup")
    old = install.rename(tmp_path / "old")  # made before the new directory
    new = tmp_path / "new"
    shutil.copytree(old, new)
    plat.check(exe, "--auto-update", "-d", new, work=tmp_path)
    return exe, state(old), state(new), tmp_path


def recover_and_check(plat, exe, inst, work, old, new, committed_ok):
    """A second run recovers; its own update fails, so the tree it leaves is what recovery made of the first."""
    out = plat.check(exe, "--auto-update", "-d", inst, work=work, rc=2,
                     extra={"DEMO_INSTALLER_EXIT": "1", "QZR_TEST_LOCK_ATTEMPTS": "3"}).out
    assert "Auto-update installer failed" in out, out
    got = state(inst)
    assert got == old or (committed_ok and got == new), out
    assert leftovers(inst) == [], out
    return got == old


@pytest.mark.parametrize("script_exit", ["0", "1"])
def test_crash_at_every_file_system_call(plat, update, script_exit):
    """Every call natively; under wine, where a run takes a second, every 17th."""
    exe, old, new, work = update
    inst = work / "inst"
    crashes = 0
    for n in range(1, 5000, 17 if plat.wine else 1):
        shutil.rmtree(inst, ignore_errors=True)
        shutil.copytree(work / "old", inst)
        r = plat.run(exe, "--auto-update", "-d", inst, cwd=work,
                     env=plat.env(work, {"QZR_TEST_CRASH_AT": str(n), "DEMO_INSTALLER_EXIT": script_exit}))
        if r.returncode != 137:
            break
        crashes += 1
        recover_and_check(plat, exe, inst, work, old, new, committed_ok=script_exit == "0")
    assert crashes > (10 if plat.wine else 50)  # the seam reached the update itself


def test_random_kills(plat, update):
    """SIGKILL to the process group: under wine that ends the Windows process as abruptly as TerminateProcess does."""
    exe, old, new, work = update
    inst = work / "inst"
    rng = random.Random(18)
    # Kills land within the length of a whole update as measured now, so that a loaded machine does not let every update
    # finish first. Each close is slowed through the test seam, so that the extraction spans the window of the kills.
    slow = plat.env(work, {"QZR_TEST_CLOSE_DELAY_MS": "100" if plat.wine else "20"})
    shutil.copytree(work / "old", inst)
    t0 = time.monotonic()
    plat.run(exe, "--auto-update", "-d", inst, cwd=work, env=slow)
    whole = time.monotonic() - t0
    restored = 0
    for _ in range(10 if plat.wine else 50):
        shutil.rmtree(inst, ignore_errors=True)
        shutil.copytree(work / "old", inst)
        p = plat.popen(exe, "--auto-update", "-d", inst, cwd=work, env=slow)
        time.sleep(rng.uniform(0.05, 0.8) * whole)
        os.killpg(p.pid, signal.SIGKILL)
        p.communicate(timeout=60)
        if recover_and_check(plat, exe, inst, work, old, new, committed_ok=True):
            restored += 1
    assert restored > 0


def test_update_on_an_overlay(plat, update):
    """On an overlay the files and directories of a lower layer get a new birth time, but keep their numbers, when the
    update writes to them (they are copied up): the update still knows them for its own, commits, rolls back, and its
    recovery after a crash puts the old tree back."""
    if plat.wine:
        pytest.skip("an overlay is a Linux mount")
    exe, old, new, work = update
    inst, copy = work / "inst", work / "copy"
    # Mounts the old installation as the lower layer at inst, runs the update (and a recovering run after a crash),
    # and copies what the overlay shows to copy.
    script = ('mount -t overlay overlay -o "lowerdir=$1/old,upperdir=$1/upper,workdir=$1/ovwork" "$1/inst" || exit 99\n'
              'DEMO_INSTALLER_EXIT=$2 QZR_TEST_CRASH_AT=$3 "$4" --auto-update -d "$1/inst"\n'
              '[ $? = 137 ] && DEMO_INSTALLER_EXIT=1 "$4" --auto-update -d "$1/inst"\n'
              'cp -a "$1/inst/." "$1/copy"\n')
    for script_exit, crash_at, want in (("1", "0", old), ("0", "0", new), ("1", "150", old)):
        for d in (inst, copy, work / "upper", work / "ovwork"):
            shutil.rmtree(d, ignore_errors=True)
            d.mkdir()
        r = plat.run("unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", work, script_exit, crash_at,
                     exe, cwd=work, env=plat.env(work))
        if r.returncode == 99:
            pytest.skip("no overlay mounts here")
        assert (state(copy), leftovers(copy)) == (want, []), r.stdout + r.stderr


def half_done(plat, exe, work, old, new):
    """An update ended by a crash in its middle: the installation and its journal."""
    inst, journal = work / "inst", work / "inst" / ".lock" / "journal"
    for n in range(20, 5000, 7):
        shutil.rmtree(inst, ignore_errors=True)
        shutil.copytree(work / "old", inst)
        r = plat.run(exe, "--auto-update", "-d", inst, cwd=work, env=plat.env(work, {"QZR_TEST_CRASH_AT": str(n)}))
        if r.returncode == 137 and journal.exists() and state(inst) not in (old, new):
            return inst, journal
    pytest.fail("no crash left a half-done update")


def test_journal_of_another_owner_is_left_alone(plat, update):
    """A journal that another account could have planted in the lock is not
    acted on: nothing is undone until it is the program's own again."""
    if plat.wine or os.geteuid() != 0:
        pytest.skip("giving the journal to another owner needs root natively")
    exe, old, new, work = update
    inst, journal = half_done(plat, exe, work, old, new)

    def files():  # the holder line changes with each run that takes the lock
        return {k: v for k, v in state(inst).items() if k != ".lock/holder"}

    half = files()
    os.chown(journal, 65534, 65534)
    out = plat.check(exe, "--auto-update", "-d", inst, work=work, rc=2).out
    assert "was not written by this program's account" in out, out
    assert files() == half and journal.exists()
    os.chown(journal, 0, 0)
    recover_and_check(plat, exe, inst, work, old, new, committed_ok=False)


@pytest.mark.parametrize("plat", ["native"], indirect=True)
def test_pipes_planted_as_journal_or_log_are_refused_at_once(plat, update):
    """A named pipe where the journal is read would hold every later update up, and one where the log goes would hand
    the log to whoever reads it: each is refused at once and left alone."""
    exe, old, new, work = update
    inst, journal = half_done(plat, exe, work, old, new)
    journal.unlink()
    os.mkfifo(journal)
    writer = os.open(journal, os.O_RDWR | os.O_NONBLOCK)  # a writer that never writes
    r = plat.run(exe, "--auto-update", "-d", inst, cwd=work, env=plat.env(work), timeout=60)
    assert r.returncode == 2 and "pipe" in r.stderr and journal.is_fifo(), r.stderr
    os.mkfifo(log := work / "log.fifo")
    reader = os.open(log, os.O_RDONLY | os.O_NONBLOCK)
    r = plat.run(exe, "--unpack", work / "unpacked", "-f", log, cwd=work, env=plat.env(work), timeout=60)
    assert r.returncode == 0 and "Failed to switch log" in r.stderr, r.stderr
    assert os.read(reader, 65536) == b""  # nothing was written into the pipe
    os.close(writer), os.close(reader)
