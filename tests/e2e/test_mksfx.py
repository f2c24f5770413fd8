"""The installer builder: archives from directories and from other tools,
refusals, --verify, and installers whose code signature stays valid."""
import shutil
import subprocess
import zipfile

import pytest

from conftest import BUILD, RELEASE, WIN_BUILD, ROOT, TAG, WINE_RUN, Platform, demo_tree, tree_snapshot, zip_tree

MKSFX = BUILD / "native" / "tools" / "mksfx"
MKSFX_WIN = BUILD / WIN_BUILD / "tools" / "mksfx.exe"


def mksfx(*args, wine=False, check=True):
    cmd = ([str(WINE_RUN), str(MKSFX_WIN)] if wine else [str(MKSFX)]) + [str(a) for a in args]
    r = subprocess.run(cmd, capture_output=True, text=True, errors="replace", timeout=300)
    if check:
        assert r.returncode == 0, r.stdout + r.stderr
    return r


def test_build_from_directory_and_install(plat, tmp_path):
    tree = demo_tree(plat, tmp_path / "payload")
    out = tmp_path / ("setup" + plat.exe_suffix)
    r = mksfx("--stub", plat.stub, "--dir", tree, "-o", out, wine=plat.wine)
    assert "packed" in r.stdout
    v = mksfx("--verify", out)
    assert f"installer script: {TAG}/bin/{plat.script}" in v.stdout, v.stdout + v.stderr
    target = tmp_path / "unpacked"
    r = plat.run(out, "--unpack", target, cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr
    for rel, data in tree_snapshot(tree).items():
        assert tree_snapshot(target).get(rel, "missing") == data, rel


def test_archives_from_other_tools_are_taken(tmp_path):
    plat = Platform("native")
    tree = demo_tree(plat, tmp_path / "payload")
    made = {}
    made["zip"] = tmp_path / "infozip.zip"
    subprocess.run(["zip", "-qr", made["zip"], "."], cwd=tree, check=True)
    made["7z"] = tmp_path / "7z.zip"
    subprocess.run([shutil.which("7z") or "7zz", "a", "-tzip", "-bd", "-bso0", made["7z"], "."], cwd=tree, check=True)
    made["bsdtar"] = tmp_path / "bsdtar.zip"
    subprocess.run(["bsdtar", "--format", "zip", "-cf", made["bsdtar"], "."], cwd=tree, check=True)
    for tool, z in made.items():
        out = tmp_path / f"setup-{tool}"
        mksfx("--stub", plat.stub, "--zip", z, "-o", out)
        target = tmp_path / f"out-{tool}"
        r = plat.run(out, "--unpack", target, cwd=tmp_path)
        assert r.returncode == 0, (tool, r.stderr)
        assert (target / TAG / "etc" / "branch").read_text().strip() == RELEASE, tool


def test_refuses_archives_the_stub_would_not_find(tmp_path):
    plat = Platform("native")
    z = zip_tree(demo_tree(plat, tmp_path / "payload"), tmp_path / "p.zip")
    commented = tmp_path / "commented.zip"
    shutil.copy(z, commented)
    with zipfile.ZipFile(commented, "a") as f:
        f.comment = b"built by hand"
    r = mksfx("--stub", plat.stub, "--zip", commented, "-o", tmp_path / "x", check=False)
    assert r.returncode == 2 and "comment" in r.stderr
    trailing = tmp_path / "trailing.zip"
    trailing.write_bytes(z.read_bytes() + b"\n")
    r = mksfx("--stub", plat.stub, "--zip", trailing, "-o", tmp_path / "y", check=False)
    assert r.returncode == 2 and "follow the archive" in r.stderr
    assert not (tmp_path / "x").exists() and not (tmp_path / "y").exists()
    garbage = tmp_path / "garbage.zip"
    garbage.write_bytes(b"not a zip at all" * 10)
    r = mksfx("--stub", plat.stub, "--zip", garbage, "-o", tmp_path / "z", check=False)
    assert r.returncode == 2
    r = mksfx("--verify", plat.stub, check=False)
    assert r.returncode == 2 and "would not find an archive" in r.stderr


@pytest.fixture
def signing(tmp_path):
    key, cert = tmp_path / "key.pem", tmp_path / "cert.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=sfx test signer"], check=True, capture_output=True)

    def sign(src, dst):
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-in", src, "-out", dst],
                       check=True, capture_output=True)

    def verify(path):
        r = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", path], capture_output=True, text=True)
        return r.returncode == 0 and "Signature verification: ok" in r.stdout

    return sign, verify


def test_signed_installer_keeps_its_signature_and_guards_its_payload(tmp_path, signing):
    sign, verify = signing
    plat = Platform("wine")
    tree = demo_tree(plat, tmp_path / "payload")
    stub = tmp_path / "stub.exe"
    payload = tmp_path / "payload.zip"
    mksfx("--stub", plat.stub, "--dir", tree, "--store", "--digest", "--stub-only", "--zip-out", payload, "-o", stub)
    signed = tmp_path / "signed.exe"
    sign(stub, signed)
    assert verify(signed)
    installer = tmp_path / "setup.exe"
    mksfx("--stub", signed, "--zip", payload, "-o", installer)
    assert verify(installer)
    assert "payload digest matches" in mksfx("--verify", installer).stdout

    # Concatenation alone breaks the signature: the table must be extended.
    naive = tmp_path / "naive.exe"
    naive.write_bytes(signed.read_bytes() + payload.read_bytes())
    assert not verify(naive)

    target = tmp_path / "ok"
    r = plat.run(installer, "--unpack", target, cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr
    assert (target / TAG / "etc" / "branch").read_text().strip() == RELEASE

    # One changed payload byte: the signature still verifies (the archive
    # is outside the signed bytes), but the stub refuses before writing.
    data = bytearray(installer.read_bytes())
    pos = data.rfind(b"The job-scheduling agent is installed")
    assert pos > 0
    data[pos] ^= 0x20
    tampered = tmp_path / "tampered.exe"
    tampered.write_bytes(bytes(data))
    assert verify(tampered)
    target = tmp_path / "tampered-out"
    r = plat.run(tampered, "--unpack", target, cwd=tmp_path)
    assert r.returncode == 2
    assert "does not match the digest signed into the installer" in r.stderr
    assert not target.exists() or not any(target.iterdir())

    # A digest can only be written before signing.
    r = mksfx("--stub", signed, "--zip", payload, "--digest", "-o", tmp_path / "again.exe", check=False)
    assert r.returncode == 2 and "already signed" in r.stderr


def test_stub_with_digest_refuses_another_payload(tmp_path):
    plat = Platform("native")
    tree = demo_tree(plat, tmp_path / "payload")
    stub = tmp_path / "stub"
    mksfx("--stub", plat.stub, "--dir", tree, "--digest", "--stub-only", "--zip-out", tmp_path / "p.zip", "-o", stub)
    other = zip_tree(tree, tmp_path / "other.zip", method=zipfile.ZIP_STORED)
    r = mksfx("--stub", stub, "--zip", other, "-o", tmp_path / "setup", check=False)
    assert r.returncode == 2 and "another payload" in r.stderr
