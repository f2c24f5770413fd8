#!/usr/bin/env python3
"""Builds a realistic ZIP payload (about 200 MB of member data by default)
from files found on this machine: shared libraries, executables, headers,
HTML, Python sources, jars, PNGs and gzip files. Members are deflated at
zlib's default level, the way an installer builder writes them. Nothing of
it is committed; the benchmark reads the file it makes.

Usage: make-payload.py OUT.zip [MEGABYTES]
"""
import os
import sys
import zipfile

SOURCES = [
    ("/usr/lib", (".so",), 60),
    ("/usr/bin", None, 30),
    ("/usr/include", (".h", ".hpp"), 25),
    ("/usr/share/doc", (".html", ".htm"), 10),
    ("/usr/lib/python3", (".py",), 30),
    ("/usr/share", (".jar",), 15),
    ("/usr/share", (".png",), 10),
    ("/usr/share", (".gz",), 20),
]


def candidates(root, suffixes):
    for base, dirs, files in os.walk(root):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(base, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            if suffixes is None:
                if not os.access(path, os.X_OK):
                    continue
            elif not (name.endswith(suffixes) or any(s + "." in name for s in suffixes if s == ".so")):
                continue
            yield path


def main():
    if len(sys.argv) not in (2, 3) or sys.argv[1].startswith("-"):
        sys.exit(__doc__.strip().splitlines()[-1])
    out = sys.argv[1]
    total_mb = float(sys.argv[2]) if len(sys.argv) > 2 else 200.0
    scale = total_mb / sum(s[2] for s in SOURCES)
    seen = set()
    written = 0
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
        for root, suffixes, mb in SOURCES:
            if not os.path.isdir(root):
                continue
            budget = mb * scale * 1024 * 1024
            used = 0
            for path in candidates(root, suffixes):
                if path in seen:
                    continue
                try:
                    size = os.path.getsize(path)
                    if size == 0 or size > 64 * 1024 * 1024:
                        continue
                    with open(path, "rb") as f:
                        data = f.read()
                except OSError:
                    continue
                seen.add(path)
                z.writestr(path.lstrip("/"), data)
                used += size
                written += size
                if used >= budget:
                    break
    print(f"{out}: {len(seen)} members, {written / 1e6:.1f} MB of data")


if __name__ == "__main__":
    main()
