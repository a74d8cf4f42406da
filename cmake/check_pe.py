#!/usr/bin/env python3
"""Checks the program we ship without running it: quillbank-setup.exe must be a 32-bit (PE32)
Windows GUI program for x86 that imports only from DLLs Windows always loads from its own folder,
carries its manifest (asking for no more than the user's own rights), background bitmap,
package-number string and version block, and stays within its size budget. With --ca,
its Authenticode signature must verify against those CA certificates with SHA-256, and a copy of
it with one byte changed must not.

    check_pe.py EXE [--max-bytes N] [--ca CA_FILE]

Prints one line per finding and a verdict; exits 1 when anything is wrong."""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

# The DLLs the program may import: the known DLLs of every Windows it supports (Vista to 11, the
# KnownDLLs lists those systems have in common), which the loader always takes from the system
# folder, and ntdll, which every process has before its first import. Any other DLL the loader
# looks for beside the program first, in a folder anyone may have left a DLL in (Downloads), before
# the program's first line could restrict the search: such DLLs are loaded at run time, from the
# system folder by full path (base/win/system_library.h).
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "comdlg32.dll", "gdi32.dll", "imagehlp.dll", "imm32.dll",
    "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll", "ntdll.dll",
    "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "setupapi.dll", "shell32.dll",
    "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll",
}
# The execution level the manifest must ask for: the user's own rights.
EXECUTION_LEVEL = "asInvoker"
RT_BITMAP, RT_STRING, RT_VERSION, RT_MANIFEST = 2, 6, 16, 24
IMAGE_FILE_MACHINE_I386 = 0x14C
PE32_MAGIC = 0x10B
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2


class PeError(Exception):
    pass


class Image:
    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise PeError("not an MZ executable")
        pe = self.u32(0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        self.machine, nsections = struct.unpack_from("<HH", data, pe + 4)
        opt_size = self.u16(pe + 20)
        opt = pe + 24
        self.magic = self.u16(opt)
        if self.magic != PE32_MAGIC:
            raise PeError("optional header magic 0x%x, not PE32" % self.magic)
        self.subsystem = self.u16(opt + 68)
        ndirs = self.u32(opt + 92)
        self.dirs = [struct.unpack_from("<II", data, opt + 96 + 8 * i) for i in range(min(ndirs, 16))]
        self.sections = []
        for i in range(nsections):
            off = opt + opt_size + 40 * i
            name = data[off:off + 8].rstrip(b"\0").decode("ascii", "replace")
            vsize, vaddr, rsize, roff = struct.unpack_from("<IIII", data, off + 8)
            self.sections.append((name, vaddr, max(vsize, rsize), roff, rsize))

    def first_section_offset(self):
        """The file offset of the middle of the first section with data."""
        for _, _, _, roff, rsize in self.sections:
            if rsize:
                return roff + rsize // 2
        raise PeError("no section with data")

    def u16(self, off):
        return struct.unpack_from("<H", self.data, off)[0]

    def u32(self, off):
        return struct.unpack_from("<I", self.data, off)[0]

    def offset(self, rva):
        for _, vaddr, size, roff, rsize in self.sections:
            if vaddr <= rva < vaddr + size and rva - vaddr < rsize:
                return roff + rva - vaddr
        raise PeError("address 0x%x outside every section" % rva)

    def cstring(self, rva):
        off = self.offset(rva)
        end = self.data.index(b"\0", off)
        return self.data[off:end].decode("ascii", "replace")

    def imports(self):
        rva, size = self.dirs[1] if len(self.dirs) > 1 else (0, 0)
        names = []
        if not rva:
            return names
        off = self.offset(rva)
        while True:
            entry = struct.unpack_from("<IIIII", self.data, off)
            if entry == (0, 0, 0, 0, 0):
                return names
            names.append(self.cstring(entry[3]))
            off += 20

    def resource_data(self, type_id, name_id):
        """The bytes of resource type_id/name_id (its first language), or None."""
        rva = self.dirs[2][0] if len(self.dirs) > 2 else 0
        if not rva:
            return None
        base = self.offset(rva)
        off = base
        for wanted in (type_id, name_id, None):
            named, ids = struct.unpack_from("<HH", self.data, off + 12)
            target = None
            for i in range(named + ids):
                name, entry = struct.unpack_from("<II", self.data, off + 16 + 8 * i)
                if wanted is None or name == wanted:
                    target = entry
                    break
            if target is None:
                return None
            if wanted is None:
                if target & 0x80000000:
                    return None
                data_rva, size = struct.unpack_from("<II", self.data, base + target)
                start = self.offset(data_rva)
                return self.data[start:start + size]
            if not target & 0x80000000:
                return None
            off = base + (target & 0x7FFFFFFF)
        return None

    def resources(self):
        """{type id: [name ids]} of the resource tree's first two levels."""
        rva = self.dirs[2][0] if len(self.dirs) > 2 else 0
        if not rva:
            return {}
        base = self.offset(rva)

        def entries(off):
            named, ids = struct.unpack_from("<HH", self.data, off + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, off + 16 + 8 * i)
                yield name, target

        found = {}
        for type_id, target in entries(base):
            if type_id & 0x80000000 or not target & 0x80000000:
                continue
            found[type_id] = [n for n, _ in entries(base + (target & 0x7FFFFFFF))
                              if not n & 0x80000000]
        return found


def check(path, max_bytes):
    problems = []
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        image = Image(f.read())
    if image.machine != IMAGE_FILE_MACHINE_I386:
        problems.append("machine 0x%x, not i386" % image.machine)
    if image.subsystem != IMAGE_SUBSYSTEM_WINDOWS_GUI:
        problems.append("subsystem %d, not Windows GUI" % image.subsystem)
    dlls = image.imports()
    foreign = [d for d in dlls if d.lower() not in KNOWN_DLLS]
    if foreign:
        problems.append("imports from DLLs that are not known DLLs of every supported Windows "
                        "(the loader would look for them beside the program): " + ", ".join(foreign))
    manifest = image.resource_data(RT_MANIFEST, 1)
    if manifest is not None:
        levels = re.findall(rb'requestedExecutionLevel[^>]*level="([^"]*)"', manifest)
        if levels != [EXECUTION_LEVEL.encode()]:
            problems.append("manifest asks for execution level %s, not %s" % (
                "/".join(l.decode("ascii", "replace") for l in levels) or "none", EXECUTION_LEVEL))
    res = image.resources()
    wanted = [(RT_MANIFEST, 1, "manifest 1"), (RT_BITMAP, 103, "bitmap 103"),
              (RT_STRING, 102 // 16 + 1, "string 102"), (RT_VERSION, 1, "version block")]
    for type_id, name, label in wanted:
        if name not in res.get(type_id, []):
            problems.append("resource missing: " + label)
    if size > max_bytes:
        problems.append("%d bytes, over the budget of %d" % (size, max_bytes))
    print("check_pe: %s: PE32 %s, %d bytes, imports %s; manifest level %s" % (
        os.path.basename(path), "GUI" if image.subsystem == 2 else "subsystem %d" % image.subsystem,
        size, " ".join(sorted(d.lower() for d in dlls)),
        "/".join(l.decode("ascii", "replace") for l in levels) if manifest is not None else "-"))
    return problems


def verify(path, ca_file):
    """osslsigncode's verdict on the signature of `path`: (passed, its report)."""
    done = subprocess.run(["osslsigncode", "verify", "-CAfile", ca_file, "-in", path],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return done.returncode == 0, done.stdout


def check_signature(path, ca_file):
    problems = []
    if shutil.which("osslsigncode") is None:
        return ["osslsigncode is not installed (scripts/setup installs it)"]
    passed, report = verify(path, ca_file)
    if not passed:
        lines = [l.strip() for l in report.splitlines() if l.strip()]
        return ["signature does not verify against %s: %s" % (ca_file, " / ".join(lines[-3:]))]
    if "Message digest algorithm  : SHA256" not in report:
        problems.append("signature digest is not SHA-256")
    # One byte of the first section changed: the signature must no longer hold.
    with open(path, "rb") as f:
        data = bytearray(f.read())
    image = Image(bytes(data))
    offset = image.first_section_offset()
    data[offset] ^= 0x01
    with tempfile.TemporaryDirectory() as tmp:
        tampered = os.path.join(tmp, "tampered.exe")
        with open(tampered, "wb") as f:
            f.write(data)
        if verify(tampered, ca_file)[0]:
            problems.append("a copy with byte 0x%x changed still verifies" % offset)
    signer = [l.strip() for l in report.splitlines() if l.strip().startswith("Subject:")]
    print("check_pe: signed, SHA-256, by %s; a changed byte breaks it" %
          (signer[0][len("Subject:"):].strip() if signer else "?"))
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("exe")
    # The stripped program with unused sections dropped is about 1.14 MB, of which the 24-bit
    # background bitmap alone is 449 KB (the deletes that never follow a link, the shortcut that
    # is only ever ours and the uninstall's clean-up at logon took it from 1.09 MB to 1.125; the
    # command line, its usage, the log copy and the uninstall's result pipe added 14 KB; updates
    # by parts (chunks, ranges, the SHA extensions) took it to 1.218 MB, the linked and held
    # reuse on both cores to 1.228); the budget leaves room for growth, not for symbols.
    parser.add_argument("--max-bytes", type=int, default=1240 * 1000)
    parser.add_argument("--ca", help="check the signature against these CA certificates")
    args = parser.parse_args()
    try:
        problems = check(args.exe, args.max_bytes)
        if args.ca:
            problems += check_signature(args.exe, args.ca)
    except (OSError, PeError, struct.error, ValueError) as e:
        problems = [str(e)]
    for p in problems:
        print("check_pe: FAIL: " + p)
    if not problems:
        print("check_pe: ok")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
