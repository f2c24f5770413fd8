#!/usr/bin/env python3
# Writes the small seed archives of fuzz_zip into this folder: stored and
# deflated entries, directories, a comment, data in front, ZIP64 records.
import io, os, zipfile

here = os.path.dirname(os.path.abspath(__file__))


def save(name, build, prefix=b""):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        build(z)
    with open(os.path.join(here, name), "wb") as f:
        f.write(prefix + buf.getvalue())


save("stored.zip", lambda z: z.writestr("a.txt", "hello"))
save("deflated.zip", lambda z: z.writestr(zipfile.ZipInfo("d/b.txt"), "abc" * 50, zipfile.ZIP_DEFLATED))
save("dirs.zip", lambda z: (z.writestr("top/", ""), z.writestr("top/sub/x.cmd", "@echo\r\n")))


def commented(z):
    z.writestr("c.txt", "c")
    z.comment = b"release"


save("comment.zip", commented)
save("prefixed.zip", lambda z: z.writestr("p.txt", "p"), prefix=b"MZ" + bytes(60))


def zip64(z):
    with z.open(zipfile.ZipInfo("big.txt"), "w", force_zip64=True) as f:
        f.write(b"z" * 10)


save("zip64.zip", zip64)
