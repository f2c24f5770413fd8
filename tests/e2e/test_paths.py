"""Paths as users and the environment spell them: trailing and doubled
separators, "/", "." and "..", relative install directories."""
import shutil

import pytest

from conftest import RELEASE, TAG, demo_tree, make_installer, tree_snapshot, zip_tree

# How a user may write the directory d (its parent exists).
SPELLINGS = {
    "trailing": lambda plat, d: plat.path(d) + plat.sep,
    "doubled": lambda plat, d: plat.path(d.parent) + plat.sep * 2 + d.name,
    "dotdot": lambda plat, d: plat.sep.join([plat.path(d.parent), "x", "..", d.name]),
    "dot": lambda plat, d: plat.sep.join([plat.path(d.parent), ".", d.name, "."]),
    "slash": lambda plat, d: plat.path(d.parent) + "/" + d.name,
}


@pytest.fixture
def setup(plat, tmp_path):
    (tmp_path / "tmp").mkdir()
    tree = demo_tree(plat, tmp_path / "payload")
    exe = make_installer(plat, zip_tree(tree, tmp_path / "payload.zip"), tmp_path / "setup")
    install = tmp_path / "install"
    shutil.copytree(tree, install)
    (install / TAG / "etc" / "branch").write_text("2024.4.0-20241010_3\n")
    return exe, tree, install, tmp_path


@pytest.mark.parametrize("spelling", SPELLINGS)
def test_install_directory_spellings(plat, setup, spelling):
    exe, _, install, work = setup
    r = plat.run(exe, "--auto-update", "-d", SPELLINGS[spelling](plat, install), cwd=work,
                 env=plat.env(work, {"QZR_TEST_LOCK_ATTEMPTS": "3"}))
    out = r.stdout + r.stderr
    assert r.returncode == 0, out
    assert "Released installation lock" in out
    assert sorted(p.name for p in work.rglob(".lock")) == []


@pytest.mark.parametrize("spelling", SPELLINGS)
def test_unpack_directory_spellings(plat, setup, spelling):
    exe, tree, _, work = setup
    target = work / "unpacked"
    target.mkdir()
    r = plat.run(exe, "--unpack", SPELLINGS[spelling](plat, target), cwd=work, env=plat.env(work))
    assert r.returncode == 0, r.stdout + r.stderr
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
    r = run_with_temp(plat, exe, SPELLINGS[spelling](plat, work / "tmp"), work)
    out = r.stdout + r.stderr
    assert r.returncode == 0, out
    assert "Installation succeeded" in out and plat.path(work / "tmp") + plat.sep + "installer-" + TAG in out
    assert list((work / "tmp").iterdir()) == []


@pytest.mark.parametrize("option,spelling", [("-u", "slash"), ("--logfile", "dotdot"), ("-u", "doubled")])
def test_log_file_spellings(plat, setup, option, spelling):
    exe, _, _, work = setup
    (work / "logs").mkdir()
    log = SPELLINGS[spelling](plat, work / "logs") + plat.sep + "run.log"
    r = plat.run(exe, option, log, cwd=work, env=plat.env(work))
    assert r.returncode == 0, r.stdout + r.stderr
    assert "Installation succeeded" in (work / "logs" / "run.log").read_text(encoding="utf-8-sig", errors="replace")


def test_relative_install_directory(plat, setup):
    """A relative -d names a directory below the starting directory: the lock
    is taken and released there, and the installed-release check sees it."""
    exe, _, install, work = setup
    r = plat.run(exe, "--auto-update", "-d", "install", cwd=work, env=plat.env(work))
    out = r.stdout + r.stderr
    assert r.returncode == 0, out
    assert f"Released installation lock {plat.path(install / '.lock')}" in out
    assert not (install / "install").exists() and not (install / ".lock").exists()
    rel = install / "installed"
    (rel / "etc").mkdir(parents=True)
    (rel / "bin").mkdir()
    (rel / "etc" / "branch").write_text(RELEASE + "\n")
    for name in ("agentsvc", "agentctl"):
        shutil.copy(plat.stub, rel / "bin" / (name + plat.exe_suffix))
    r = plat.run(exe, "--auto-update", "-d", "install", cwd=work, env=plat.env(work))
    assert r.returncode == 2, r.stdout + r.stderr
    assert "there is already a valid installation for that version" in r.stderr
    assert not (install / ".lock").exists()
