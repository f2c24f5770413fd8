"""What only the Windows build shows: arguments through the real command
interpreter, and the image's manifest, flags and version resource."""
import re
import struct
import subprocess
import xml.etree.ElementTree as ET

import pytest

from conftest import BUILD, RELEASE, expect_rc, make_installer, write_files, zip_entries, zip_tree

# Awkward arguments for a batch script; each must arrive exactly.
BATCH_ARGS = ["C:\\dir with space\\", "two\\\\", "a b", "x&y", "p|q", "<in>", "caret^", "bang!", "(par)",
              "semi;colon,comma=eq", "na\u00efve \u20ac", "", "\\\\host\\share\\"]
# Arguments the interpreter would change or act on: refused.
REFUSED_ARGS = ['say "hi"', "100%", "%PATH%", "line\nbreak"]
# Writes %1..%9 (ARGQ) and %~1..%~9 (ARGU) as "name=value" lines; empty values leave their name out.
ARGS_SCRIPT = "@echo off\r\n" + "".join(f'set ARGQ{i}=%{i}\r\nset "ARGU{i}=%~{i}"\r\n' for i in range(1, 10)) + \
    'set ARGQ>> "%ARGS_OUT%"\r\nset ARGU>> "%ARGS_OUT%"\r\nexit /b 0\r\n'


@pytest.fixture
def wine(plat):
    if not plat.wine:
        pytest.skip("Windows build only")
    return plat


def test_batch_arguments_arrive_unchanged_or_are_refused(wine, tmp_path):
    payload = write_files(tmp_path / "p", {"bin/installer.cmd": ARGS_SCRIPT})
    exe = make_installer(wine, zip_tree(payload, tmp_path / "p.zip"), tmp_path / "setup")
    for start in range(0, len(BATCH_ARGS), 7):  # -f and -l take the last slots
        chunk = BATCH_ARGS[start:start + 7]
        out = tmp_path / f"args{start}.txt"
        expect_rc(wine.run(exe, *chunk, cwd=tmp_path, env=wine.env(tmp_path, {"ARGS_OUT": wine.path(out)})))
        seen = dict(l.split("=", 1) for l in out.read_text(encoding="cp1252").splitlines())
        for i, arg in enumerate(chunk, 1):
            assert (seen.get(f"ARGU{i}", ""), seen.get(f"ARGQ{i}")) == (arg, f'"{arg}"'), (i, seen)
    # Arguments the interpreter would change or act on.
    out = tmp_path / "args.txt"
    for arg in REFUSED_ARGS:
        r = wine.run(exe, "fine", arg, cwd=tmp_path, env=wine.env(tmp_path, {"ARGS_OUT": wine.path(out)}))
        assert r.returncode == 2 and "cannot be passed safely to a batch file" in r.stderr, (arg, r.stderr)
        assert not out.exists()


def test_link_entry_is_there_or_the_walk_fails(wine, tmp_path):
    """A link the system reports as created but that is not there (wine
    creates none) fails the walk, which then undoes everything."""
    exe = make_installer(wine, zip_entries(tmp_path / "links.zip", [("d/target.txt", "data", False),
                                                                   ("d/lnk", "target.txt", True)]), tmp_path / "setup")
    (out := tmp_path / "out").mkdir()
    r = wine.run(exe, "--unpack", out, cwd=tmp_path, env=wine.env(tmp_path))
    link = out / "d" / "lnk"
    if r.returncode == 0:
        assert link.is_symlink() and link.read_text() == "data"
    else:
        assert r.returncode == 2 and "is not there" in r.stderr, r.stdout + r.stderr
        assert list(out.iterdir()) == []


IMAGES = [(b, name) for b in ("win64", "win32") for name in ("sfx.exe", "tools/mksfx.exe")]
SUPPORTED_OS = {  # Windows 7, 8, 8.1, 10/11
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}


@pytest.mark.parametrize("build,name", IMAGES)
def test_image_manifest_flags_and_version(build, name):
    """Without a manifest and the Terminal Server flag, Windows elevates,
    virtualises and shims the program; the version shows in its properties."""
    image = BUILD / build / name
    if not image.exists():
        pytest.skip(f"{image} is not built")
    arch = "i686" if build == "win32" else "x86_64"
    dump = subprocess.run([f"{arch}-w64-mingw32-objdump", "-p", str(image)], capture_output=True, text=True,
                          check=True).stdout
    flags = int(re.search(r"^DllCharacteristics\s+([0-9a-fA-F]+)", dump, re.M).group(1), 16)
    assert flags & 0x8000, "not Terminal Server aware"
    imported = {d.lower() for d in re.findall(r"DLL Name: (\S+)", dump)}
    assert "user32.dll" not in imported  # bound at run time
    assert "SetDefaultDllDirectories" not in dump  # absent on Windows 7 without its update

    data = image.read_bytes()
    manifest = ET.fromstring(re.search(rb"<assembly .*?</assembly>", data, re.S).group(0))
    ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
          "c": "urn:schemas-microsoft-com:compatibility.v1", "ws": "http://schemas.microsoft.com/SMI/2016/WindowsSettings"}
    level = manifest.find(".//v3:requestedExecutionLevel", ns)
    assert level is not None and level.get("level") == "asInvoker" and level.get("uiAccess") == "false"
    assert {e.get("Id") for e in manifest.findall(".//c:supportedOS", ns)} == SUPPORTED_OS
    assert manifest.find(".//ws:longPathAware", ns).text.strip() == "true"

    keys = ("ProductVersion", "FileVersion")
    strings = [re.search((k + "\0").encode("utf-16-le") + rb"(?:\0\0)?((?:[^\0]\0)+)", data) for k in keys]
    assert [m and m.group(1).decode("utf-16-le") for m in strings] == [RELEASE, RELEASE]
    fixed = data.find(struct.pack("<I", 0xFEEF04BD))
    assert fixed > 0
    ms, ls = struct.unpack_from("<II", data, fixed + 8)
    major, minor, patch, build_no = re.match(r"(\d+)\.(\d+)\.(\d+)-\d+_(\d+)$", RELEASE).groups()
    assert (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF) == (int(major), int(minor), int(patch), int(build_no))
