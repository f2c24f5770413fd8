"""Payloads and installations shaped to make the installer lose data or write outside its target: an existing directory
where the payload has a file, the registration file spelled "./register.properties", links left on disk by an earlier
update or planted where an entry goes, an entry in the lock."""
import os
import subprocess

import pytest

from conftest import (BUILD, TAG, Platform, expect_rc, has, make_installer, tree_snapshot, write_files, zip_entries,
                      zip_infos, zip_tree)

MKSFX = BUILD / "native" / "tools" / "mksfx"


def test_existing_directory_where_the_payload_has_a_file_survives(plat, setup):
    exe, _, install, work = setup
    props = install / TAG / "etc" / "agent.properties"
    props.unlink()
    (props / "log").mkdir(parents=True)
    (props / "log" / "agent.log").write_text("history\n")
    before = tree_snapshot(install)
    plat.check(exe, "--auto-update", "-d", install, work=work, rc=2)
    assert tree_snapshot(install) == before


def test_bsdtar_payload_keeps_the_registration(plat, setup):
    _, tree, install, work = setup
    registration = (install / "register.properties").read_bytes()
    subprocess.run(["bsdtar", "-a", "-cf", work / "p.zip", "."], cwd=tree, check=True)
    assert "./register.properties" in [i.filename for i in zip_infos(work / "p.zip")]
    out = work / ("bsdtar-setup" + plat.exe_suffix)
    subprocess.run([MKSFX, "--stub", plat.stub, "--zip", work / "p.zip", "-o", out], check=True, capture_output=True)
    plat.check(out, "--auto-update", "-d", install, work=work)
    assert (install / "register.properties").read_bytes() == registration
    assert (install / TAG / "etc" / "branch").read_bytes() == (tree / TAG / "etc" / "branch").read_bytes()


def test_link_left_by_an_earlier_update_is_not_written_through(plat, tmp_path):
    outside, target = tmp_path / "outside", tmp_path / "target"
    outside.mkdir()
    first = make_installer(plat, zip_entries(tmp_path / "1.zip", [("www/lnk", plat.path(outside), True)]),
                           tmp_path / "one")
    r = plat.run(first, "--unpack", target, cwd=tmp_path)
    if "Cannot create symlink" in r.stderr:
        pytest.skip("this platform makes no symbolic links")
    assert r.returncode == 0 and os.path.islink(target / "www" / "lnk"), r.stdout + r.stderr
    second = make_installer(plat, zip_entries(tmp_path / "2.zip", [("www/lnk/evil.txt", "pwned", False),
                                                                   ("www/lnk/sub/", "", False)]), tmp_path / "two")
    has(expect_rc(plat.run(second, "--unpack", target, cwd=tmp_path), 2).stderr, "leads out of")
    assert list(outside.iterdir()) == []


@pytest.mark.parametrize("entry", [".lock/x", "./.lock/x", ".LOCK/x"])
def test_update_entry_in_the_lock_fails_and_leaves_no_lock(plat, setup, entry):
    _, tree, install, work = setup
    if entry == ".LOCK/x" and not plat.wine:
        pytest.skip("names differ by case here")
    before = tree_snapshot(install)
    exe = make_installer(plat, zip_entries(zip_tree(tree, work / "p.zip"), [(entry, "x", False)], "a"), work / "setup")
    has(plat.check(exe, "--auto-update", "-d", install, work=work, rc=2).stderr, "installation lock", entry)
    assert tree_snapshot(install) == before


def test_file_link_planted_where_an_entry_goes_keeps_its_target(plat, tmp_path):
    (outside := tmp_path / "outside").mkdir()
    (outside / "f").write_text("precious\n")
    target = tmp_path / "target"
    (target / "www").mkdir(parents=True)
    os.symlink(outside / "f", target / "www" / "index.html")
    exe = make_installer(plat, zip_entries(tmp_path / "p.zip", [("www/index.html", "new", False)]), tmp_path / "setup")
    r = plat.run(exe, "--unpack", plat.path(target), cwd=tmp_path)
    assert (outside / "f").read_text() == "precious\n", r.stdout + r.stderr
    assert r.returncode == 2 or (target / "www" / "index.html").read_text() == "new", r.stdout + r.stderr


def test_file_size_limit_fails_the_unpack_and_rolls_back(tmp_path):
    """A file-size limit (ulimit -f) makes the write fail and the run roll back; it does not kill the process."""
    import resource
    target = tmp_path / "target"
    (target / "www").mkdir(parents=True)
    (target / "www" / "big.bin").write_text("mine\n")
    before = tree_snapshot(target)
    exe = make_installer(Platform("native"), zip_entries(tmp_path / "p.zip", [
        ("www/a.txt", "a", False), ("www/big.bin", os.urandom(3 << 20), False), ("www/c.txt", "c", False)]),
        tmp_path / "setup")
    limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, resource.RLIM_INFINITY))
    r = subprocess.run([exe, "--unpack", target], cwd=tmp_path, capture_output=True, text=True, preexec_fn=limit)
    assert r.returncode == 2, (r.returncode, r.stdout + r.stderr)
    assert tree_snapshot(target) == before


@pytest.mark.skipif(os.geteuid() != 0, reason="links of another user need root")
@pytest.mark.parametrize("plat", ["native"], indirect=True)
def test_links_another_user_made_in_the_target_are_not_followed(plat, tmp_path):
    """Another user's link in a shared target may lead to another build: nothing goes through it (or one the target's
    own links lead to), nor a log (nor into his directory or file, or one anyone may write to). Own links are kept."""
    target, elsewhere = tmp_path / "target", tmp_path / "elsewhere"
    old = write_files(target / "old", {"www/index.html": "old build\n"})
    write_files(tmp_path, {"planted.log": "his\n", "theirs/.keep": "", "open/.keep": "", "elsewhere/.keep": "",
                           "target/new/.keep": "", "target/x/sub/.keep": "", "target/x/old/www/.keep": "",
                           "target/nd/.keep": "", "target/logdir/.keep": ""})
    (tmp_path / "open").chmod(0o777)
    for link, to in {target / "new" / "www": "../old/www", target / "logs": elsewhere, target / "nl": "x/sub",
                     tmp_path / "theirs" / "mine": elsewhere, target / "dd": "nd/../logdir"}.items():
        link.symlink_to(to)
    for mine in ("target/new/www", "target/logs", "target/nl", "theirs", "planted.log", "target/nd"):
        os.lchown(tmp_path / mine, 65534, 65534)
    exe = make_installer(plat, zip_entries(tmp_path / "p.zip", [("new/www/index.html", "new", False)]), tmp_path / "s")
    for log in ("target/logs/x.log", "theirs/mine/x.log", "open/x.log", "planted.log", "target/dd/x.log"):
        has(expect_rc(plat.run(exe, "-u", tmp_path / log, "--unpack", tmp_path / "t2", cwd=tmp_path)).out,
            "Failed to switch log")
    assert [p.name for p in elsewhere.iterdir()] == [".keep"] and (tmp_path / "planted.log").read_text() == "his\n"
    assert not (target / "logdir" / "x.log").exists()  # through his directory before a ".." in a link of the target
    has(expect_rc(plat.run(exe, "--unpack", target, cwd=tmp_path), 2).out, "may lead elsewhere")
    assert (old / "www" / "index.html").read_text() == "old build\n"
    os.lchown(target / "new" / "www", 0, 0)
    expect_rc(plat.run(exe, "--unpack", target, cwd=tmp_path), 0)
    assert (old / "www" / "index.html").read_text() == "new"
    (target / "new" / "www").unlink()
    (target / "new" / "www").symlink_to("../nl/../old/www")  # x/old/www where the system follows it
    has(expect_rc(plat.run(exe, "--unpack", target, cwd=tmp_path), 2).out, "nl is a link that another user made")
