#!/usr/bin/env bash
# Makes the zip archives the extraction tests read, into the folder given: some with Info-ZIP
# zip, the rest with Python's zipfile (names and attributes zip would not write). Each file entry
# holds "content of <name>\n" unless said otherwise.
set -euo pipefail
out="$1"
rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A tree with an empty folder, a nested file and a file of many 2048-byte chunks.
tree="$work/tree"
mkdir -p "$tree/sub" "$tree/a/b"
printf 'content of top.txt\n' >"$tree/top.txt"
printf 'content of a/b/c.txt\n' >"$tree/a/b/c.txt"
for i in $(seq 1 20000); do printf 'line %05d\n' "$i"; done >"$tree/big.txt"
(cd "$tree" && zip -q -r -0 "$out/infozip_stored.zip" top.txt sub a big.txt)
(cd "$tree" && zip -q -r -9 "$out/infozip_deflated.zip" top.txt sub a big.txt)
(cd "$tree" && zip -q -P secret "$out/infozip_encrypted.zip" top.txt)

python3 - "$out" <<'PY'
import sys, zipfile, os

out = sys.argv[1]
STAMP = (2019, 5, 17, 13, 45, 30)

def entry(name, attr=0, method=zipfile.ZIP_DEFLATED):
    info = zipfile.ZipInfo(name, date_time=STAMP)
    info.external_attr = attr
    info.compress_type = method
    return info

def content(name):
    return ("content of %s\n" % name).encode()

def make(file_name, names, method=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(os.path.join(out, file_name), "w") as z:
        for name in names:
            z.writestr(entry(name, method=method), content(name))

big = "".join("line %05d\n" % i for i in range(1, 20001)).encode()
with zipfile.ZipFile(os.path.join(out, "py_mixed.zip"), "w") as z:
    z.writestr(entry("stored.txt", method=zipfile.ZIP_STORED), content("stored.txt"))
    z.writestr(entry("deflated.txt"), big)
    z.writestr(entry("dir/", attr=0x10, method=zipfile.ZIP_STORED), b"")
    z.writestr(entry("dir/inner.txt"), content("dir/inner.txt"))

# A name ending in "/" without the directory attribute is a file entry.
make("py_slash_file.zip", ["plain.txt", "notadir/", "after.txt"])
# No entries. minizip cannot open a bare end record at offset 0, so one copy has a stub in front
# (as a self-extracting archive would).
zipfile.ZipFile(os.path.join(out, "py_empty.zip"), "w").close()
with open(os.path.join(out, "py_empty_stub.zip"), "wb") as f:
    f.write(b"stub before the archive\n")
    zipfile.ZipFile(f, "w").close()
make("py_locked.zip", ["first.txt", "locked.txt", "last.txt"])
make("py_second.zip", ["second.txt"])
make("py_nested.zip", ["x/y/z.txt"])
make("py_inside_dotdot.zip", ["a/../b.txt"])
make("py_long_name.zip", ["first.txt", "n" * 250 + ".txt"])

# Names that would leave the destination or name a device: each archive is first.txt, the bad name, after.txt.
bad = {
    "dotdot": "../evil.txt",
    "deep": "a/../../evil.txt",
    "backslash": "..\\evil.txt",
    "mixed": "a\\..\\../evil.txt",
    "absolute": "/evil.txt",
    "absolute_backslash": "\\evil.txt",
    "drive": "C:/evil.txt",
    "drive_relative": "C:evil.txt",
    "stream": "first.txt:evil",
    "dots": ".../evil.txt",
    "dot_blank": ".. /evil.txt",
    # Names Windows opens as a device, whatever the folder or extension.
    "device": "CON",
    "device_extension": "aux.txt",
    "device_in_folder": "dir/nul.dat",
    "device_blank": "Com1 .log",
}
for key, name in bad.items():
    make("bad_%s.zip" % key, ["first.txt", name, "after.txt"])
with zipfile.ZipFile(os.path.join(out, "bad_directory.zip"), "w") as z:
    z.writestr(entry("first.txt"), content("first.txt"))
    z.writestr(entry("../evildir/", attr=0x10, method=zipfile.ZIP_STORED), b"")

# A deflate stream damaged in the middle, and a method minizip cannot read (bzip2).
with zipfile.ZipFile(os.path.join(out, "py_corrupt.zip"), "w") as z:
    z.writestr(entry("broken.txt"), big)
data = bytearray(open(os.path.join(out, "py_corrupt.zip"), "rb").read())
header = 30 + len("broken.txt")
for i in range(header + 40, header + 80):
    data[i] ^= 0x5A
open(os.path.join(out, "py_corrupt.zip"), "wb").write(bytes(data))
# Stored data with one byte changed: only the CRC tells.
with zipfile.ZipFile(os.path.join(out, "py_crc.zip"), "w") as z:
    z.writestr(entry("checked.txt", method=zipfile.ZIP_STORED), content("checked.txt"))
data = bytearray(open(os.path.join(out, "py_crc.zip"), "rb").read())
data[30 + len("checked.txt") + 3] ^= 0x01
open(os.path.join(out, "py_crc.zip"), "wb").write(bytes(data))
make("py_bzip2.zip", ["packed.txt"], method=zipfile.ZIP_BZIP2)
PY
