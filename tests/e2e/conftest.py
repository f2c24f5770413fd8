"""Black-box test harness: builds real installers from the built stubs and runs them as a user would, natively
(installer.sh) and under wine (installer.cmd run by wine's cmd.exe)."""
import os
import shutil
import subprocess
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("SFX_BUILD_ROOT", ROOT / "build"))
WINE_RUN = ROOT / "scripts" / "wine-run"
WINEPREFIX = Path(os.environ.get("SFX_WINEPREFIX", ROOT / "build" / "wineprefix"))
DEMO = ROOT / "tools" / "demo-payload"
# The Windows build the wine runs use: win64, or win32 (the shipped i686 stub)
# on machines that run 32-bit code (scripts/check-win32).
WIN_BUILD = os.environ.get("SFX_E2E_WIN_BUILD", "win64")
RELEASE = "2025.1.0-20250129_14"
TAG = "2025_1_0_20250129_14"


class Platform:
    """One way of running the stub: natively or as a Windows program under wine."""

    def __init__(self, name):
        self.name = name
        self.wine = name == "wine"
        self.stub = BUILD / (f"{WIN_BUILD}/sfx.exe" if self.wine else "native/sfx")
        self.script = "installer.cmd" if self.wine else "installer.sh"
        self.exe_suffix = ".exe" if self.wine else ""
        self.sep = "\\" if self.wine else "/"

    def path(self, p):
        """A host path as the program sees it (under wine on drive Z:)."""
        return "Z:" + str(p).replace("/", "\\") if self.wine else str(p)

    def env(self, work, extra=None):
        """Environment of a run whose temporary installer directory goes below work/tmp. Wine sets TEMP itself (and
        TMPDIR would move its server's socket), so a wine run uses the prefix's own Temp folder."""
        self.temp_baseline = set(self._temp_dirs(work))
        env = {} if self.wine else {"TEMP": str(work / "tmp"), "TMP": str(work / "tmp"), "TMPDIR": str(work / "tmp")}
        return {**env, **(extra or {})}

    def leftover_temp_dirs(self, work):
        """Temporary installer directories that runs since env() left behind."""
        return sorted(set(self._temp_dirs(work)) - getattr(self, "temp_baseline", set()))

    def _temp_dirs(self, work):
        root = WINEPREFIX / "drive_c" / "users" / os.environ.get("USER", "root") / "Temp" if self.wine else work / "tmp"
        return [p.name for p in root.iterdir() if p.name.startswith("installer-" + TAG)] if root.exists() else []

    def _cmd(self, exe, args, env):
        """The command line and environment of a run (no inherited log settings)."""
        full_env = {k: v for k, v in os.environ.items() if k not in ("QZR_LOGLEVEL", "QZR_LOGFILE")}
        return ([str(WINE_RUN)] if self.wine else []) + [str(exe)] + [str(a) for a in args], {**full_env, **(env or {})}

    def run(self, exe, *args, cwd=None, env=None, timeout=120):
        """Runs an installer; returns CompletedProcess with text output."""
        cmd, full_env = self._cmd(exe, args, env)
        for attempt in range(2):
            r = subprocess.run(cmd, cwd=cwd, env=full_env, capture_output=True, timeout=timeout,
                               stdin=subprocess.DEVNULL, text=True, errors="replace")
            # Rarely, on a loaded machine, a wine start ends with code 1 before the program has written a single byte
            # (the program itself always logs its start or its failure): such a start is tried once more.
            if not (self.wine and r.returncode == 1 and not r.stdout and not r.stderr):
                break
        return r

    def check(self, exe, *args, work, rc=0, extra=None):
        """Runs exe in work with env(work, extra) and asserts its exit code; the result also holds the output as out."""
        return expect_rc(self.run(exe, *args, cwd=work, env=self.env(work, extra)), rc)

    def popen(self, exe, *args, cwd=None, env=None):
        cmd, full_env = self._cmd(exe, args, env)
        return subprocess.Popen(cmd, cwd=cwd, env=full_env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                stdin=subprocess.DEVNULL, text=True, errors="replace", start_new_session=True)


def expect_rc(r, rc=0):
    """Asserts a finished run's exit code; the run also holds its whole output as out."""
    r.out = r.stdout + r.stderr
    assert r.returncode == rc, r.out
    return r


def has(text, *needles, lacks=()):
    """Asserts that each of needles is in text and none of lacks is."""
    for n in needles:
        assert n in text, (n, text[-3000:])
    for n in lacks:
        assert n not in text, (n, text[-3000:])


@pytest.fixture(params=[n for n in os.environ.get("SFX_E2E_PLATFORMS", "native,wine").split(",") if n])
def plat(request):
    p = Platform(request.param)
    if not p.stub.exists():
        pytest.fail(f"stub {p.stub} is not built")
    return p


def zip_tree(src: Path, dest: Path, skip=(), method=zipfile.ZIP_DEFLATED):
    """Writes the files below src into a ZIP at dest, names relative to src."""
    with zipfile.ZipFile(dest, "w", method) as z:
        for path in sorted(src.rglob("*")):
            if path.name not in skip:
                z.write(path, path.relative_to(src).as_posix() + ("/" if path.is_dir() else ""))
    return dest


def zip_infos(path: Path):
    """The entries of the ZIP at path, or of the archive at the end of an installer."""
    with zipfile.ZipFile(path) as z:
        return z.infolist()


def zip_entries(dest: Path, entries, mode="w"):
    """Writes (name, data, is_link) entries into the ZIP at dest, or with mode
    "a" after what it holds; a link's data is its target."""
    with zipfile.ZipFile(dest, mode) as z:
        for name, data, is_link in entries:
            info = zipfile.ZipInfo(name)
            info.create_system = 3
            info.external_attr = (0o120777 if is_link else 0o100644) << 16
            z.writestr(info, data)
    return dest


def write_files(root: Path, files):
    """Writes {relative path: text or bytes} below root, making the directories on the way; returns root."""
    for rel, data in files.items():
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_bytes(data if isinstance(data, bytes) else data.encode())
    return root


def make_installer(plat: Platform, zip_path: Path, out: Path):
    """The stub with the archive appended, by concatenation."""
    out = out.with_suffix(plat.exe_suffix) if plat.exe_suffix else out
    out.write_bytes(plat.stub.read_bytes() + zip_path.read_bytes())
    out.chmod(0o755)
    return out


def demo_tree(plat: Platform, dest: Path):
    """A copy of the demo payload holding only this platform's installer script."""
    shutil.copytree(DEMO, dest)
    other = "installer.sh" if plat.wine else "installer.cmd"
    (dest / TAG / "bin" / other).unlink()
    return dest


def old_installation(tree: Path, dest: Path):
    """An older installation of tree at dest: same layout, other contents, an older release and a file of its own."""
    shutil.copytree(tree, dest)
    for p in dest.rglob("*"):
        if p.is_file():
            p.write_bytes(b"old " + p.name.encode() + b"\n")
    write_files(dest / TAG / "etc", {"branch": "2024.4.0-20241010_3\n", "local.conf": "site settings\n"})
    return dest


@pytest.fixture
def setup(plat, tmp_path):
    """An installer of the demo payload and an older installation: (exe, payload tree, installation, work directory)."""
    (tmp_path / "tmp").mkdir(mode=0o755)
    tree = demo_tree(plat, tmp_path / "payload")
    exe = make_installer(plat, zip_tree(tree, tmp_path / "payload.zip"), tmp_path / "setup")
    return exe, tree, old_installation(tree, tmp_path / "install"), tmp_path


def installed_release(plat: Platform, rel: Path):
    """A complete installation of this release at rel (the stub answers -v with the release, as agent programs do)."""
    write_files(rel, {"etc/branch": RELEASE + "\n"})
    (rel / "bin").mkdir()
    for name in ("agentsvc", "agentctl"):
        shutil.copy(plat.stub, rel / "bin" / (name + plat.exe_suffix))
    return rel


def tree_snapshot(root: Path):
    """Relative path -> bytes (None for directories) of everything below root."""
    return {p.relative_to(root).as_posix(): None if p.is_dir() else p.read_bytes() for p in sorted(root.rglob("*"))}


def assert_holds_tree(root: Path, tree: Path):
    """Asserts that everything below tree is below root too, the same."""
    want, got = tree_snapshot(tree), tree_snapshot(root)
    assert {rel: got.get(rel, "missing") for rel in want} == want, root


def set_tree_times(root: Path, seconds):
    """Gives everything below root (and root) one modification time, as a fresh checkout at that moment would."""
    for p in [root, *root.rglob("*")]:
        os.utime(p, (seconds, seconds), follow_symlinks=False)


def run_in_pty(cmd, cwd, env, columns=100, timeout=120, stdin_tty=False):
    """Runs cmd with standard output and error (and with stdin_tty also standard input) on a pseudo-terminal of the
    given width, as a person at a console would; the terminal is raw, so the bytes arrive exactly as written. Returns
    (exit code, bytes) once the program has ended and the terminal is quiet (wine's helpers may keep it open)."""
    import fcntl, pty, select, struct, termios, time, tty  # noqa: E401

    master, slave = pty.openpty()
    tty.setraw(slave)
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    p = subprocess.Popen(cmd, cwd=cwd, env=env, stdin=slave if stdin_tty else subprocess.DEVNULL, stdout=slave,
                         stderr=slave, start_new_session=True)
    os.close(slave)
    out = bytearray()
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not select.select([master], [], [], 0.5)[0]:
            if p.poll() is not None:
                break
            continue
        try:
            out += (chunk := os.read(master, 65536))
        except OSError:  # EIO: every writer has closed the terminal
            break
        if not chunk:
            break
    os.close(master)
    return p.wait(max(1, deadline - time.monotonic())), bytes(out)
