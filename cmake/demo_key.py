#!/usr/bin/env python3
"""Makes the demo package-signing key pair (ECDSA over NIST P-256) at configure time.

    python3 cmake/demo_key.py OUT_DIR

Writes OUT_DIR/package-signing.key (mode 0600; line 1: the private scalar d as 64 lowercase hex
digits, line 2: the public point X||Y as 128) and OUT_DIR/package-signing.pub (the same 128 digits
on one line), each only when it does not exist yet: a key made once stays the demo key of that
build folder. A missing .pub is derived from an existing .key; a .pub without its .key is an
error, since a fresh key would not match it.

Standard library only, so a bare build machine can run it. The arithmetic is plain affine
double-and-add and not constant-time: good for a demo key made on the build machine, not for
keys that sign what users install.
"""
import os
import secrets
import sys
import tempfile

# NIST P-256 (FIPS 186-4, D.1.2.3).
P = 0xFFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF
A = P - 3
B = 0x5AC635D8AA3A93E7B3EBBD55769886BC651D06B0CC53B0F63BCE3C3E27D2604B
N = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551
G = (0x6B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296,
     0x4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5)

KEY_NAME = "package-signing.key"
PUB_NAME = "package-signing.pub"


def on_curve(point):
    x, y = point
    return 0 <= x < P and 0 <= y < P and (y * y - (x * x * x + A * x + B)) % P == 0


def add(p1, p2):
    """Sum of two points; None is the point at infinity."""
    if p1 is None:
        return p2
    if p2 is None:
        return p1
    x1, y1 = p1
    x2, y2 = p2
    if x1 == x2:
        if (y1 + y2) % P == 0:
            return None
        slope = (3 * x1 * x1 + A) * pow(2 * y1, -1, P) % P
    else:
        slope = (y2 - y1) * pow(x2 - x1, -1, P) % P
    x3 = (slope * slope - x1 - x2) % P
    return x3, (slope * (x1 - x3) - y1) % P


def multiply(k, point):
    result = None
    while k:
        if k & 1:
            result = add(result, point)
        point = add(point, point)
        k >>= 1
    return result


def public_hex(d):
    q = multiply(d, G)
    if q is None or not on_curve(q):
        raise ValueError("d*G is not a point of the curve")
    return "%064x%064x" % q


def read_key(path):
    """(d, public hex) of an existing key file, checked; raises ValueError when it is not one."""
    with open(path, encoding="ascii") as f:
        lines = f.read().split("\n")
    if len(lines) != 3 or lines[2] != "" or len(lines[0]) != 64 or len(lines[1]) != 128:
        raise ValueError("not two lines of 64 and 128 hex digits")
    d = int(lines[0], 16)
    if not 1 <= d < N:
        raise ValueError("private scalar out of range")
    if public_hex(d) != lines[1].lower():
        raise ValueError("public point does not belong to the private scalar")
    return d, public_hex(d)


def write_new(path, text, mode, replace):
    """Writes `text` to a temporary file beside `path` and moves it in place whole. Without
    `replace`, an existing file is kept and False is returned."""
    folder = os.path.dirname(path) or "."
    fd, temp = tempfile.mkstemp(prefix=".demo-key-", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="ascii", newline="\n") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temp, mode)
        if replace:
            os.replace(temp, path)
            return True
        # A hard link never overwrites: when two configures race, one key wins and both use it.
        try:
            os.link(temp, path)
        except FileExistsError:
            return False
        except OSError:
            # A file system without hard links: fall back to a checked replace.
            if os.path.exists(path):
                return False
            os.replace(temp, path)
        return True
    finally:
        if os.path.exists(temp):
            os.unlink(temp)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: demo_key.py OUT_DIR\n")
        return 2
    out_dir = argv[1]
    os.makedirs(out_dir, exist_ok=True)
    key_path = os.path.join(out_dir, KEY_NAME)
    pub_path = os.path.join(out_dir, PUB_NAME)
    try:
        if not os.path.exists(key_path):
            if os.path.exists(pub_path):
                sys.stderr.write("demo_key.py: %s exists without %s; remove it to make a new "
                                 "key pair\n" % (pub_path, key_path))
                return 1
            d = secrets.randbelow(N - 1) + 1
            write_new(key_path, "%064x\n%s\n" % (d, public_hex(d)), 0o600, replace=False)
        _, public = read_key(key_path)
        if not os.path.exists(pub_path):
            write_new(pub_path, public + "\n", 0o644, replace=True)
        with open(pub_path, encoding="ascii") as f:
            if f.read() != public + "\n":
                sys.stderr.write("demo_key.py: %s does not hold the public key of %s\n"
                                 % (pub_path, key_path))
                return 1
    except (OSError, ValueError) as error:
        sys.stderr.write("demo_key.py: %s: %s\n" % (key_path, error))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
