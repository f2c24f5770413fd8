"""The self-extractor as a user runs it: installer mode, unpacking, patterns,
the script hand-over and its logs."""
import zipfile

import pytest

from conftest import RELEASE, TAG, demo_tree, make_installer, tree_snapshot, zip_tree


@pytest.fixture
def work(tmp_path):
    (tmp_path / "tmp").mkdir()
    return tmp_path


def demo_installer(plat, work, name="setup"):
    tree = demo_tree(plat, work / "payload")
    z = zip_tree(tree, work / "payload.zip")
    return make_installer(plat, z, work / name), tree


def test_install_runs_script_with_arguments_and_copies_logs(plat, work):
    exe, _ = demo_installer(plat, work)
    out = plat.check(exe, "first arg", "-x", work=work).out
    assert "Installation succeeded" in out
    # The script's own log, copied between the dashed lines.
    assert "Content of installer.log:\n-----------------------\n" in out
    assert "demo installer running in" in out
    if not plat.wine:
        assert "arg[0]=first arg" in out
        assert "arg[1]=-x" in out
        assert "arg[2]=-f" in out and "stdout.log" in out
        assert "arg[4]=-l" in out and "arg[5]=INFO" in out
        assert "installer-helper.txt" in out  # companion files come along
    else:
        assert 'args: "first arg" "-x" "-f" ' in out and 'stdout.log" "-l" "INFO"' in out
        assert "installer-helper.txt" in out
    # The temporary installer directory is gone.
    assert plat.leftover_temp_dirs(work) == []


def test_failing_script_rolls_back_and_still_copies_logs(plat, work):
    exe, _ = demo_installer(plat, work)
    out = plat.check(exe, work=work, rc=2, extra={"DEMO_INSTALLER_EXIT": "3"}).out
    assert "Installation failed" in out
    assert "Content of installer.log:" in out
    assert plat.leftover_temp_dirs(work) == []


def test_unpack_into_new_and_existing_directory(plat, work):
    exe, tree = demo_installer(plat, work)
    existing = work / "existing"
    existing.mkdir()
    (existing / "keep.txt").write_text("mine")
    (existing / "register.properties").write_text("old")
    want = tree_snapshot(tree)
    for target in (work / "new" / "deeper", existing):
        plat.check(exe, "--unpack", target, work=work)
        got = tree_snapshot(target)
        assert {rel: got.get(rel, "missing") for rel in want} == want, target
        assert not (target / TAG / "bin" / "installer.log").exists()  # no script runs when unpacking
    assert (existing / "keep.txt").read_text() == "mine"


def test_unpack_without_directory_value(plat, work):
    exe, _ = demo_installer(plat, work)
    assert "No unpack directory argument given" in plat.check(exe, "--unpack", work=work, rc=2).stderr


def test_pattern_extracts_only_matching_entries(plat, work):
    exe, _ = demo_installer(plat, work)
    out_dir = work / "out"
    out_dir.mkdir()
    r = plat.run(exe, "--pattern", f"{TAG}/etc/*", cwd=out_dir, env=plat.env(work))
    assert r.returncode == 0, r.stdout + r.stderr
    assert (out_dir / TAG / "etc" / "branch").read_text().strip() == RELEASE
    assert not (out_dir / TAG / "www").exists()
    assert not (out_dir / "register.properties").exists()
    assert "was not extracted; nothing to run" in r.stderr


def test_archive_without_script_unpacks_everything_here(plat, work):
    src = work / "plain"
    (src / "docs").mkdir(parents=True)
    (src / "docs" / "readme.txt").write_text("hello\n")
    (src / "data.bin").write_bytes(bytes(range(256)) * 40)
    exe = make_installer(plat, zip_tree(src, work / "plain.zip"), work / "plain-setup")
    out_dir = work / "out"
    out_dir.mkdir()
    r = plat.run(exe, cwd=out_dir, env=plat.env(work))
    assert r.returncode == 0, r.stdout + r.stderr
    assert (out_dir / "docs" / "readme.txt").read_text() == "hello\n"
    assert (out_dir / "data.bin").read_bytes() == bytes(range(256)) * 40


def test_copyright_and_unattended_log(plat, work):
    exe, _ = demo_installer(plat, work)
    lines = plat.check(exe, "-copyright", work=work).stdout.splitlines()
    assert lines[0].startswith("Copyright") and lines[1] == RELEASE
    log = work / "unattended.log"
    plat.check(exe, "-u", log, work=work)
    text = log.read_text(encoding="utf-8-sig", errors="replace")
    assert "Installation succeeded" in text
    assert "Content of installer.log:" in text


def test_corrupt_entry_fails_and_leaves_nothing(plat, work):
    src = work / "plain"
    src.mkdir()
    (src / "a.txt").write_text("A" * 5000)
    (src / "b.txt").write_text("B" * 5000)
    z = zip_tree(src, work / "plain.zip", method=zipfile.ZIP_STORED)
    data = bytearray(z.read_bytes())
    pos = data.find(b"B" * 100)
    data[pos + 10] ^= 0xFF  # CRC mismatch in b.txt
    z.write_bytes(bytes(data))
    exe = make_installer(plat, z, work / "bad-setup")
    out_dir = work / "out"
    out_dir.mkdir()
    (out_dir / "a.txt").write_text("previous")
    plat.check(exe, "--unpack", out_dir, work=work, rc=2)
    assert sorted(p.name for p in out_dir.iterdir()) == ["a.txt"]
    assert (out_dir / "a.txt").read_text() == "previous"


def test_script_gets_the_child_log_level(plat, work):
    tree = demo_tree(plat, work / "payload")
    script = tree / TAG / "bin" / plat.script
    if plat.wine:
        script.write_bytes(b"@echo QZR_LOGLEVEL=[%QZR_LOGLEVEL%]\r\n")
    else:
        script.write_text('#!/bin/sh\necho "QZR_LOGLEVEL=[$QZR_LOGLEVEL]"\n')
        script.chmod(0o755)
    exe = make_installer(plat, zip_tree(tree, work / "payload.zip"), work / "setup")
    for level, child in (("debug", "DEBUG"), ("info,common.zip=trace", "INFO")):
        assert f"QZR_LOGLEVEL=[{child}]" in plat.check(exe, "--loglevel", level, work=work).out, level
