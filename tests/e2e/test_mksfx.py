"""The installer builder: archives from directories and from other tools, refusals, --verify, reproducible builds, and
installers whose code signature stays valid."""
import os
import shutil
import subprocess
import zipfile
import zlib
from datetime import datetime, timezone

import pytest

from conftest import (BUILD, RELEASE, ROOT, TAG, WIN_BUILD, WINE_RUN, Platform, assert_holds_tree, demo_tree,
                      expect_rc, has, make_installer, set_tree_times, zip_entries, zip_infos, zip_tree)

MKSFX = BUILD / "native" / "tools" / "mksfx"
MKSFX_WIN = BUILD / WIN_BUILD / "tools" / "mksfx.exe"


def mksfx(*args, wine=False, check=True, env=None):
    cmd = ([str(WINE_RUN), str(MKSFX_WIN)] if wine else [str(MKSFX)]) + [str(a) for a in args]
    full_env = {**{k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}, **(env or {})}
    r = subprocess.run(cmd, capture_output=True, text=True, errors="replace", timeout=300, env=full_env)
    return expect_rc(r) if check else r


def refused(*args, says, wine=False, env=None):
    """Runs mksfx, asserting that it refuses (exit code 2) and that its error output holds says (a text or texts)."""
    r = mksfx(*args, wine=wine, check=False, env=env)
    has(r.stderr, *([says] if isinstance(says, str) else says))
    assert r.returncode == 2, r.stderr
    return r


NATIVE, WINE = Platform("native"), Platform("wine")


@pytest.fixture
def tree(tmp_path):
    """A copy of the demo payload for the native stub."""
    return demo_tree(NATIVE, tmp_path / "payload")


def test_build_from_directory_and_install(plat, tmp_path):
    tree = demo_tree(plat, tmp_path / "payload")
    out = tmp_path / ("setup" + plat.exe_suffix)
    assert "packed" in mksfx("--stub", plat.stub, "--dir", tree, "-o", out, wine=plat.wine).stdout
    has(mksfx("--verify", out).stdout, f"installer script: {TAG}/bin/{plat.script}")
    target = tmp_path / "unpacked"
    expect_rc(plat.run(out, "--unpack", target, cwd=tmp_path))
    assert_holds_tree(target, tree)


def test_refuses_archives_the_stub_would_not_find(tmp_path, tree):
    z = zip_tree(tree, tmp_path / "p.zip")
    # The end record's comment length (its last two bytes) and the comment.
    for name, data, says in (("commented", z.read_bytes()[:-2] + b"\x0d\x00built by hand", "comment"),
                             ("trailing", z.read_bytes() + b"\n", "follow the archive"),
                             ("garbage", b"not a zip at all" * 10, "")):
        (tmp_path / f"{name}.zip").write_bytes(data)
        refused("--stub", NATIVE.stub, "--zip", tmp_path / f"{name}.zip", "-o", tmp_path / name, says=says)
        assert not (tmp_path / name).exists(), name
    refused("--verify", NATIVE.stub, says="would not find an archive")


def test_zip64_archive_is_found_behind_any_stub(plat, tmp_path):
    """zip -fz writes ZIP64 end records; whatever the stub's size, --verify and
    the stub itself find the archive, and agree on it."""
    tree = demo_tree(plat, tmp_path / "payload")
    z = tmp_path / "p.zip"
    subprocess.run(["zip", "-qr", "-fz", z, "."], cwd=tree, check=True)
    data, stub = z.read_bytes(), plat.stub.read_bytes()
    count = len(zip_infos(z))
    # Residues of the end record's offset modulo 256 around the ZIP64 locator (20 bytes) and record (56) before it.
    for residue in (0, 75, 76, 255):
        pad = (residue - (len(stub) + len(data) - 22)) % 256
        exe = tmp_path / f"setup{residue}{plat.exe_suffix}"
        exe.write_bytes(stub + b"\0" * pad + data)
        exe.chmod(0o755)
        has(mksfx("--verify", exe).stdout, f"archive of {count} entries at offset {len(stub) + pad}")
        expect_rc(plat.run(exe, "--unpack", tmp_path / f"out{residue}", cwd=tmp_path))
        assert (tmp_path / f"out{residue}" / TAG / "etc" / "branch").read_text().strip() == RELEASE


@pytest.fixture
def signing(tmp_path):
    key, cert = tmp_path / "key.pem", tmp_path / "cert.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=sfx test signer"], check=True, capture_output=True)

    def sign(src, dst):
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-in", src, "-out", dst],
                       check=True, capture_output=True)
        return dst

    def verify(path):
        r = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", path], capture_output=True, text=True)
        return r.returncode == 0 and "Signature verification: ok" in r.stdout

    return sign, verify


def test_signed_installer_keeps_its_signature_and_guards_its_payload(tmp_path, signing):
    sign, verify = signing
    plat = WINE
    tree = demo_tree(plat, tmp_path / "payload")
    stub, payload = tmp_path / "stub.exe", tmp_path / "payload.zip"
    mksfx("--stub", plat.stub, "--dir", tree, "--store", "--digest", "--stub-only", "--zip-out", payload, "-o", stub)
    signed = sign(stub, tmp_path / "signed.exe")
    assert verify(signed)
    installer = tmp_path / "setup.exe"
    mksfx("--stub", signed, "--zip", payload, "-o", installer)
    assert verify(installer)
    assert "payload digest matches" in mksfx("--verify", installer).stdout

    # Concatenation alone breaks the signature: the table must be extended.
    (naive := tmp_path / "naive.exe").write_bytes(signed.read_bytes() + payload.read_bytes())
    assert not verify(naive)

    target = tmp_path / "ok"
    expect_rc(plat.run(installer, "--unpack", target, cwd=tmp_path))
    assert (target / TAG / "etc" / "branch").read_text().strip() == RELEASE

    # One changed payload byte: the signature still verifies (the archive
    # is outside the signed bytes), but the stub refuses before writing.
    data = bytearray(installer.read_bytes())
    pos = data.rfind(b"The job-scheduling agent is installed")
    assert pos > 0
    data[pos] ^= 0x20
    (tampered := tmp_path / "tampered.exe").write_bytes(bytes(data))
    assert verify(tampered)
    target = tmp_path / "tampered-out"
    has(expect_rc(plat.run(tampered, "--unpack", target, cwd=tmp_path), 2).stderr,
        "does not match the digest signed into the installer")
    assert not target.exists() or not any(target.iterdir())

    # A digest can only be written before signing.
    refused("--stub", signed, "--zip", payload, "--digest", "-o", tmp_path / "again.exe", says="already signed")


def test_stub_with_digest_refuses_another_payload(tmp_path, tree):
    stub = tmp_path / "stub"
    mksfx("--stub", NATIVE.stub, "--dir", tree, "--digest", "--stub-only", "--zip-out", tmp_path / "p.zip", "-o", stub)
    other = zip_tree(tree, tmp_path / "other.zip", method=zipfile.ZIP_STORED)
    refused("--stub", stub, "--zip", other, "-o", tmp_path / "setup", says="another payload")


def test_windows_build_deflates_like_the_native_one(tmp_path):
    # The project's sources as compressible content, so that compression makes a visible difference.
    tree, stub = demo_tree(WINE, tmp_path / "payload"), WINE.stub
    for sub in ("common-impl", "opsys-impl"):
        shutil.copytree(ROOT / sub, tree / TAG / "www" / sub)
    packed = {}
    for wine in (False, True):
        for level in ("9", "12"):
            out = tmp_path / f"setup-{wine}-{level}.exe"
            assert "(deflated)" in mksfx("--stub", stub, "--dir", tree, "--level", level, "-o", out, wine=wine).stdout
            packed[wine, level] = {i.filename: i.compress_size for i in zip_infos(out)}
            assert "CRC-32 matches" in mksfx("--verify", out, wine=not wine).stdout
    # One library and one meaning of --level on every platform.
    assert packed[True, "9"] == packed[False, "9"] and packed[True, "12"] == packed[False, "12"]
    assert sum(packed[False, "12"].values()) < sum(packed[False, "9"].values())
    mksfx("--stub", stub, "--dir", tree, "--store", "-o", (stored := tmp_path / "stored.exe"))
    assert sum(packed[True, "9"].values()) * 2 < stored.stat().st_size - stub.stat().st_size


@pytest.mark.parametrize("wine", [False, True], ids=["native", "wine"])
@pytest.mark.parametrize("packing", ["--store", "--verbose"], ids=["stored", "deflated"])
def test_verify_checks_every_entry(tmp_path, tree, wine, packing):
    (tree / TAG / "www" / "big.txt").write_text("".join(f"line {i} of the agent's page\n" for i in range(5000)))
    mksfx("--stub", NATIVE.stub, "--dir", tree, packing, "-o", (out := tmp_path / "setup"))
    info = next(i for i in zip_infos(out) if i.filename == f"{TAG}/www/big.txt")
    data = bytearray(out.read_bytes())
    start = data.index(f"{TAG}/www/big.txt".encode(), info.header_offset) + len(info.filename) + len(info.extra)
    data[start + info.compress_size // 2] ^= 0x20
    out.write_bytes(bytes(data))
    refused("--verify", out, wine=wine, says=(f"{TAG}/www/big.txt", "would not extract"))


@pytest.mark.parametrize("wine", [False, True], ids=["native", "wine"])
def test_source_date_epoch_gives_identical_installers(tmp_path, wine):
    epoch = 1700000000  # 2023-11-14 22:13:20 UTC
    outs = []
    for i, offset in enumerate((1000, 9000000)):
        tree = demo_tree(WINE, tmp_path / f"checkout{i}")
        set_tree_times(tree, epoch + offset)
        for env in ({"SOURCE_DATE_EPOCH": str(epoch)}, {}):
            out = tmp_path / f"setup{i}{'-pinned' if env else ''}.exe"
            mksfx("--stub", WINE.stub, "--dir", tree, "-o", out, wine=wine, env=env)
            outs.append(out.read_bytes())
    assert outs[0] == outs[2]
    assert outs[1] != outs[3]
    latest = datetime.fromtimestamp(epoch, timezone.utc).replace(tzinfo=None)
    for info in zip_infos(tmp_path / "setup0-pinned.exe"):
        assert datetime(*info.date_time) == latest, info.filename  # DOS time in UTC
        assert int.from_bytes(info.extra[5:9], "little") == epoch, info.filename


@pytest.mark.parametrize("args,env,says", [(["--level", v], {}, "--level takes 1 to 12") for v in ("9x", "13")] + [
    ([], {"SOURCE_DATE_EPOCH": v}, "SOURCE_DATE_EPOCH must be") for v in ("yesterday", "-1", "4294967296")])
def test_refuses_bad_values(tmp_path, tree, args, env, says):
    refused("--stub", NATIVE.stub, "--dir", tree, "-o", tmp_path / "setup", *args, env=env, says=says)
    assert not (tmp_path / "setup").exists()


def _add(rel, text="x"):
    return lambda tree: (tree / rel).parent.mkdir(parents=True, exist_ok=True) or (tree / rel).write_text(text)


def _link(rel, target):
    return lambda tree: (tree / rel).symlink_to(target)


# (change to the payload, the file the message names, what it says, --force packs it)
REFUSALS = [
    (_add(f"{TAG}/www/CON.txt"), f"{TAG}/www/CON.txt", "naming a device", False),
    (_add(f"{TAG}/www/a\x1b[2Jb"), f"{TAG}/www/a\\x1B[2Jb", "control character", False),
    (_add(f"{TAG}/www/a?b"), f"{TAG}/www/a?b", "character '?'", True),
    (_add(f"{TAG}/WWW/Index.html"), f"{TAG}/www", "only in letter case", True),
    (lambda t: [_add(f"{TAG}/www/{n}")(t) for n in ("\u00c4pfel", "\u00e4pfel")], f"{TAG}/www/\u00c4pfel",
     "only in letter case", True),
    (_add(f"{TAG}/www/a\\b"), f"{TAG}/www/a\\b", "backslash", False),
    (_link(f"{TAG}/www/passwd", "/etc/passwd"), f"{TAG}/www/passwd", "leads out of the tree", False),
    (_link(f"{TAG}/www/up", "../../.."), f"{TAG}/www/up", "leads out of the tree", False),
    (_link(f"{TAG}/www/esc", "index\x1b[2J.html"), f"{TAG}/www/esc", "control character", False),
    (_add(f"{TAG}/bin/setup-installer.sh"), f"{TAG}/bin/setup-installer.sh", "installer scripts", True),
    (lambda t: (t / TAG / "etc" / "branch").unlink(), f"{TAG}/etc/branch", "is missing", True),
    (lambda t: shutil.rmtree(t / TAG), "top directory", "no top directory", True),
]


@pytest.mark.parametrize("change,name,says,forced", REFUSALS, ids=[r[2] + " " + r[1] for r in REFUSALS])
def test_refuses_trees_the_installer_would_refuse_or_lose(tmp_path, tree, change, name, says, forced):
    change(tree)
    out, kept = tmp_path / "setup", tmp_path / "kept.zip"
    kept.write_bytes(b"an earlier archive")
    refused("--stub", NATIVE.stub, "--dir", tree, "--zip-out", kept, "-o", out, says=(says, name))
    assert not out.exists() and kept.read_bytes() == b"an earlier archive"
    r = mksfx("--stub", NATIVE.stub, "--dir", tree, "--force", "-o", out, check=False)
    assert (r.returncode == 0) == forced, r.stderr
    if forced:
        assert "warning" in r.stderr and mksfx("--verify", out).returncode == 0


# Archives of other tools the stub refuses: (entries, the entry the message names, what it says)
ZIP_REFUSALS = [
    ([("../evil", "e", False)], "../evil", "leaves the target directory"),
    ([("www/CON", "e", False)], "www/CON", "naming a device"),
    ([("www/a\rb", "e", False)], "www/a\\x0Db", "control character"),
    ([("www/l", "/etc", True), ("www/l/x", "e", False)], "www/l/x", "behind the symbolic link www/l"),
]


@pytest.mark.parametrize("entries,name,says", ZIP_REFUSALS, ids=[r[2] for r in ZIP_REFUSALS])
def test_zip_and_verify_refuse_what_the_stub_refuses(tmp_path, entries, name, says):
    z = zip_entries(tmp_path / "p.zip", [(f"{TAG}/etc/branch", RELEASE, False), *entries])
    refused("--stub", NATIVE.stub, "--zip", z, "-o", (out := tmp_path / "setup"), says=(says, name))
    assert not out.exists()
    installer = make_installer(NATIVE, z, tmp_path / "joined")
    refused("--verify", installer, says=(says, name))
    expect_rc(NATIVE.run(installer, "--unpack", tmp_path / "out", cwd=tmp_path), 2)


def test_names_windows_cannot_hold_are_refused_for_a_windows_stub(tmp_path):
    """A Windows installer would fail on such a name on every machine; a POSIX one takes it."""
    z = zip_entries(tmp_path / "p.zip", [(f"{TAG}/etc/branch", RELEASE, False),
                                         (f"{TAG}/bin/installer.cmd", "@exit 0\r\n", False), ("www/a?b", "x", False)])
    says = ("www/a?b", "Windows does not allow")
    refused("--stub", WINE.stub, "--zip", z, "-o", (out := tmp_path / "setup.exe"), says=says)
    assert not out.exists()
    refused("--verify", make_installer(WINE, z, tmp_path / "joined"), says=says)
    assert mksfx("--verify", make_installer(NATIVE, z, tmp_path / "posix")).returncode == 0


def test_verify_refuses_a_path_no_posix_system_takes(tmp_path):
    deep = "/".join(["d" * 250] * 17) + "/f.txt"  # 4,273 bytes: more than a path may have on any target
    z = zip_entries(tmp_path / "p.zip", [(f"{TAG}/etc/branch", RELEASE, False), (deep, "x", False)])
    refused("--verify", make_installer(NATIVE, z, tmp_path / "joined"), says=("f.txt", "longer than any path"))


@pytest.mark.parametrize("method,says", [(zipfile.ZIP_STORED, "size mismatch"), (zipfile.ZIP_DEFLATED, "status error")],
                         ids=["stored", "deflated"])
def test_verify_refuses_data_the_stub_refuses(tmp_path, method, says):
    """An entry whose data runs on past its declared size, with the CRC-32 of the declared part."""
    data, name = b"port=1 and more\n" * 40, "www/a.txt"
    with zipfile.ZipFile(z := tmp_path / "p.zip", "w", method) as out:
        out.writestr(f"{TAG}/etc/branch", RELEASE)
        out.writestr(name, data)
    raw = bytearray(z.read_bytes())
    record = raw.rindex(b"PK\x01\x02")  # the entry's central record, the last one
    raw[record + 16:record + 20] = zlib.crc32(data[:-4]).to_bytes(4, "little")
    raw[record + 24:record + 28] = (len(data) - 4).to_bytes(4, "little")
    z.write_bytes(bytes(raw))
    installer = make_installer(NATIVE, z, tmp_path / "joined")
    refused("--verify", installer, says=(name, "would not extract"))
    r = expect_rc(NATIVE.run(installer, "--unpack", tmp_path / "out", cwd=tmp_path), 2)
    has(r.stdout + r.stderr, says)


def test_zip_with_two_installer_scripts_is_packed_only_with_force(tmp_path):
    """The installer runs the last script it meets: an archive of another tool that holds two is refused as a tree is."""
    scripts = [(f"{TAG}/bin/installer.sh", "#!/bin/sh\n", False), (f"{TAG}/bin/installer.cmd", "@exit 0\r\n", False)]
    z = zip_entries(tmp_path / "p.zip", [(f"{TAG}/etc/branch", RELEASE, False), *scripts])
    refused("--stub", NATIVE.stub, "--zip", z, "-o", (out := tmp_path / "setup"),
            says=(f"{TAG}/bin/installer.cmd", "installer scripts"))
    assert not out.exists()
    r = mksfx("--stub", NATIVE.stub, "--zip", z, "--force", "-o", out, check=False)
    assert r.returncode == 0 and "warning" in r.stderr, r.stderr


@pytest.mark.parametrize("stub,script", [(NATIVE, "installer.cmd"), (WINE, "installer.sh")])
def test_installer_script_the_stub_does_not_run_is_packed_only_with_force(tmp_path, tree, stub, script):
    (tree / TAG / "bin" / "installer.sh").rename(tree / TAG / "bin" / script)
    out = tmp_path / "setup"
    refused("--stub", stub.stub, "--dir", tree, "-o", out, says=(f"{TAG}/bin/{script}", "does not run"))
    assert not out.exists() and not list(tmp_path.glob("*.tmp"))
    r = mksfx("--stub", stub.stub, "--dir", tree, "--force", "-o", out, check=False)
    assert r.returncode == 0 and "warning" in r.stderr, r.stderr


def test_links_inside_the_tree_are_packed(tmp_path, tree):
    (tree / TAG / "www" / "home.html").symlink_to("index.html")
    (tree / TAG / "docs").symlink_to("www")
    mksfx("--stub", NATIVE.stub, "--dir", tree, "-o", (out := tmp_path / "setup"))
    expect_rc(NATIVE.run(out, "--unpack", tmp_path / "out", cwd=tmp_path))
    assert os.readlink(tmp_path / "out" / TAG / "www" / "home.html") == "index.html"
    assert (tmp_path / "out" / TAG / "docs" / "index.html").read_bytes() == (tree / TAG / "www" / "index.html").read_bytes()
