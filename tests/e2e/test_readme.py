"""The README's examples run as written, so they cannot go stale."""
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import BUILD, ROOT, TAG, WIN_BUILD, Platform, demo_tree, expect_rc


def example(name):
    text = (ROOT / "README.md").read_text()
    m = re.search(r"<!-- example: " + name + r" -->\n```sh\n(.*?)```", text, re.S)
    assert m, f"README example {name} is missing"
    return m.group(1)


@pytest.fixture
def shell(tmp_path):
    (bin_dir := tmp_path / "bin").mkdir()
    shutil.copy(BUILD / "native" / "tools" / "mksfx", bin_dir / "mksfx")
    shutil.copy(BUILD / WIN_BUILD / "sfx.exe", tmp_path / "sfx.exe")
    demo_tree(Platform("wine"), tmp_path / "payload")

    def run(script):
        env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}")
        return expect_rc(subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=tmp_path, env=env,
                                        capture_output=True, text=True, timeout=300))

    return tmp_path, run


def test_build_example(shell):
    work, run = shell
    # The second line takes a ZIP from another tool.
    subprocess.run(["zip", "-qr", work / "payload.zip", "."], cwd=work / "payload", check=True)
    r = run(example("build"))
    assert f"{TAG}/bin/installer.cmd" in r.stdout
    assert (work / "setup.exe").exists()


def test_sign_example(shell):
    work, run = shell
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", work / "key.pem", "-out",
                    work / "cert.pem", "-days", "2", "-subj", "/CN=readme"], check=True, capture_output=True)
    r = run(example("sign"))
    assert "Signature verification: ok" in r.stdout
