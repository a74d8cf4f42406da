#!/usr/bin/env python3
"""The Windows Package Manager (winget) manifest of quillbank-setup.exe: writes it from the
build's deployment values, or checks one that was written.

    winget_manifest.py --out DIR --installer EXE --identifier ID --package-version P3.P4
                       --installer-url URL --publisher NAME --publisher-url URL
                       --license TEXT --short-description TEXT
    winget_manifest.py --check DIR --installer EXE [--schemas DIR]

Writing makes the three files of winget's multi-file format (manifest version 1.10.0) in DIR:
<ID>.yaml (version), <ID>.installer.yaml and <ID>.locale.en-US.yaml. The exit codes winget is
told about come from app/exit_codes.h, the Apps & features entry's key name (the package number)
and the product name from res/installer.rc, so that the manifest cannot drift from the program.
Writing needs nothing beyond Python itself.

Checking validates each file against its JSON schema (python3-jsonschema, python3-yaml) from
--schemas, else $QB_WINGET_SCHEMAS, else ../shared/winget-schema beside the checkout, and checks
what the schemas cannot: the return codes are exactly the program's non-zero exit codes, the
Apps & features entry is the one the program writes, the SHA-256 is that of EXE, and the files
agree on identifier, version and manifest version. Prints each finding; exits 1 on any."""
import argparse
import hashlib
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MANIFEST_VERSION = "1.10.0"
LOCALE = "en-US"
# The program users get is the 32-bit one.
ARCHITECTURE = "x86"

# What winget tells the user for each of the program's failure exit codes, by the enumerator's
# name in app/exit_codes.h. A code added there must be given its response here: the generation
# refuses a header and a table that do not name the same codes.
RETURN_RESPONSES = {
    "kExitFileHeld": "fileInUse",
    "kExitDiskFull": "diskFull",
    "kExitNoServer": "noNetwork",
    "kExitCancelled": "cancelledByUser",
    "kExitFailed": "contactSupport",
    "kExitAnotherInstall": "installInProgress",
    "kExitPackageCheckFailed": "contactSupport",
    "kExitLogNotWritten": "custom",
    "kExitDowngrade": "downgrade",
    "kExitInvalidCommandLine": "invalidParameter",
}

# The program's command line (its silent modes and log) and the way it installs: for the current
# user, with the user's own rights (its manifest asks asInvoker), a new version over the old one.
INSTALLER_SWITCHES = {
    "Silent": "/verysilent",
    "SilentWithProgress": "/silent",
    "Log": '/log="<LOGPATH>"',
}

# winget's rule for an identifier; it also names the files, so nothing else may pass.
IDENTIFIER = re.compile(
    r'^[^.\s\\/:*?"<>|\x01-\x1f]{1,32}(\.[^.\s\\/:*?"<>|\x01-\x1f]{1,32}){1,7}$')


class ManifestError(Exception):
    pass


def read_text(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except OSError as e:
        raise ManifestError(f"cannot read {path}: {e.strerror}")


def strip_comments(text):
    return re.sub(r"//[^\n]*|/\*.*?\*/", " ", text, flags=re.S)


def parse_exit_codes(header_text):
    """The enumerators of `enum ExitCode` as [(name, value)], in order. Every enumerator must
    carry its value as a decimal number, so that none is skipped or guessed."""
    text = strip_comments(header_text)
    enum = re.search(r"\benum\s+ExitCode\b[^{;]*\{(.*?)\}\s*;", text, flags=re.S)
    if not enum:
        raise ManifestError("no `enum ExitCode { ... };` in the header")
    codes, names, values = [], set(), set()
    for item in enum.group(1).split(","):
        item = item.strip()
        if not item:
            continue
        m = re.fullmatch(r"(kExit\w+)\s*=\s*(0|[1-9][0-9]*)", item)
        if not m:
            raise ManifestError(f"exit code enumerator not of the form kExitName = N: {item!r}")
        name, value = m.group(1), int(m.group(2))
        if name in names:
            raise ManifestError(f"exit code {name} twice")
        if value in values:
            raise ManifestError(f"exit code value {value} twice ({name})")
        names.add(name)
        values.add(value)
        codes.append((name, value))
    return codes


def expected_return_codes(codes):
    """[(code, response)] for the non-zero exit codes; refuses a header and a response table
    that do not name the same codes."""
    failing = [(name, value) for name, value in codes if value != 0]
    unknown = sorted({name for name, _ in failing} - set(RETURN_RESPONSES))
    gone = sorted(set(RETURN_RESPONSES) - {name for name, _ in failing})
    problems = []
    if unknown:
        problems.append("exit codes without a winget response in RETURN_RESPONSES: " +
                        ", ".join(unknown))
    if gone:
        problems.append("RETURN_RESPONSES names codes the header has not (or has as 0): " +
                        ", ".join(gone))
    if problems:
        raise ManifestError("; ".join(problems))
    return [(value, RETURN_RESPONSES[name]) for name, value in failing]


def read_package_number(rc_text):
    """String 102 of the resource script: the package number, digits only (the Apps & features
    entry and the install folder are "Quillbank" followed by it)."""
    table = re.search(r"\bSTRINGTABLE\b.*?\bBEGIN\b(.*?)\bEND\b", strip_comments(rc_text), re.S)
    m = table and re.search(r'^\s*102\s*,?\s*"([^"]*)"', table.group(1), flags=re.M)
    if not m:
        raise ManifestError("no string 102 in the resource script")
    if not re.fullmatch(r"[0-9]+", m.group(1)):
        raise ManifestError(f"string 102 is not a package number: {m.group(1)!r}")
    return m.group(1)


def read_product_name(rc_text):
    m = re.search(r'\bVALUE\s+"ProductName"\s*,\s*"([^"]+)"', strip_comments(rc_text))
    if not m:
        raise ManifestError("no ProductName in the resource script's version block")
    return m.group(1)


def package_version(parts):
    """"9.3.P3.P4" for "P3.P4": the text the installed program's Apps & features entry shows
    (DisplayVersionText prints each part as a plain decimal number)."""
    m = re.fullmatch(r"([0-9]+)\.([0-9]+)", parts)
    if not m or any(int(p) > 0x7FFFFFFF for p in m.groups()):
        raise ManifestError(
            f"package version {parts!r} is not two numbers 0..2147483647 (third.fourth part)")
    return "9.3.%d.%d" % (int(m.group(1)), int(m.group(2)))


def file_sha256(path):
    digest = hashlib.sha256()
    try:
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                digest.update(block)
    except OSError as e:
        raise ManifestError(f"cannot read {path}: {e.strerror}")
    return digest.hexdigest().upper()


def manifest_names(identifier):
    return {
        "version": f"{identifier}.yaml",
        "installer": f"{identifier}.installer.yaml",
        "defaultLocale": f"{identifier}.locale.{LOCALE}.yaml",
    }


# --- YAML text ---------------------------------------------------------------------------------
# Written by hand so that generating needs no third-party module, and so that every version is
# a quoted string and every return code a plain integer whatever YAML reader winget uses. The
# check reads the files back with a YAML parser.

_PLAIN = re.compile(r"[A-Za-z/][A-Za-z0-9 ._/()+-]*(:[A-Za-z0-9/._+-]+)*")
_YAML11_WORDS = {"y", "n", "yes", "no", "true", "false", "on", "off", "null"}


def yaml_scalar(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if not isinstance(value, str):
        raise ManifestError(f"no YAML form for {value!r}")
    if not value.isprintable():
        raise ManifestError(f"a manifest value has a control character: {value!r}")
    if (_PLAIN.fullmatch(value) and not value.endswith(" ") and
            value.lower() not in _YAML11_WORDS):
        return value
    return "'" + value.replace("'", "''") + "'"


def yaml_lines(mapping, indent=""):
    lines = []
    for key, value in mapping.items():
        if isinstance(value, dict):
            lines.append(f"{indent}{key}:")
            lines += yaml_lines(value, indent + "  ")
        elif isinstance(value, list):
            lines.append(f"{indent}{key}:")
            for item in value:
                if isinstance(item, dict):
                    inner = yaml_lines(item, indent + "  ")
                    lines.append(indent + "- " + inner[0][len(indent) + 2:])
                    lines += inner[1:]
                else:
                    lines.append(f"{indent}- {yaml_scalar(item)}")
        else:
            lines.append(f"{indent}{key}: {yaml_scalar(value)}")
    return lines


def yaml_file(manifest_type, mapping):
    head = [
        "# Generated by packaging/winget_manifest.py from the build's deployment values.",
        f"# yaml-language-server: $schema=https://aka.ms/winget-manifest.{manifest_type}."
        f"{MANIFEST_VERSION}.schema.json",
        "",
    ]
    return "\n".join(head + yaml_lines(mapping)) + "\n"


# --- writing -----------------------------------------------------------------------------------

def build_manifests(values, root=ROOT):
    """The three manifests as {manifest type: mapping}, from VALUES (identifier, package_version,
    installer_url, installer_sha256, publisher, publisher_url, license, short_description)."""
    identifier = values["identifier"]
    if not IDENTIFIER.match(identifier):
        raise ManifestError(f"not a winget package identifier (Publisher.Package): {identifier!r}")
    version = package_version(values["package_version"])
    rc_text = read_text(os.path.join(root, "res", "installer.rc"))
    product = read_product_name(rc_text)
    returns = expected_return_codes(
        parse_exit_codes(read_text(os.path.join(root, "app", "exit_codes.h"))))
    common = {"PackageIdentifier": identifier, "PackageVersion": version}
    installer = dict(common)
    installer.update({
        "InstallerType": "exe",
        "Scope": "user",
        "InstallModes": ["interactive", "silent", "silentWithProgress"],
        "InstallerSwitches": dict(INSTALLER_SWITCHES),
        "ExpectedReturnCodes": [{"InstallerReturnCode": code, "ReturnResponse": response}
                                for code, response in returns],
        "UpgradeBehavior": "install",
        "ElevationRequirement": "elevationProhibited",
        "AppsAndFeaturesEntries": [{
            "DisplayName": product,
            "Publisher": values["publisher"],
            "DisplayVersion": version,
            "ProductCode": "Quillbank" + read_package_number(rc_text),
        }],
        "Installers": [{
            "Architecture": ARCHITECTURE,
            "InstallerUrl": values["installer_url"],
            "InstallerSha256": values["installer_sha256"],
        }],
        "ManifestType": "installer",
        "ManifestVersion": MANIFEST_VERSION,
    })
    locale = dict(common)
    locale.update({
        "PackageLocale": LOCALE,
        "Publisher": values["publisher"],
        "PublisherUrl": values["publisher_url"],
        "PackageName": product,
        "License": values["license"],
        "ShortDescription": values["short_description"],
        "ManifestType": "defaultLocale",
        "ManifestVersion": MANIFEST_VERSION,
    })
    version_manifest = dict(common)
    version_manifest.update({
        "DefaultLocale": LOCALE,
        "ManifestType": "version",
        "ManifestVersion": MANIFEST_VERSION,
    })
    return {"version": version_manifest, "installer": installer, "defaultLocale": locale}


def write_manifests(out_dir, manifests):
    identifier = manifests["version"]["PackageIdentifier"]
    texts = {kind: yaml_file(kind, m) for kind, m in manifests.items()}
    os.makedirs(out_dir, exist_ok=True)
    written = []
    for kind, name in manifest_names(identifier).items():
        path = os.path.join(out_dir, name)
        # Whole or not at all: a build stopped half-way leaves no truncated manifest.
        with open(path + ".tmp", "w", encoding="utf-8", newline="\n") as f:
            f.write(texts[kind])
        os.replace(path + ".tmp", path)
        written.append(path)
    return written


# --- checking ----------------------------------------------------------------------------------

def schema_dir(given):
    candidates = [("--schemas", given)] if given else []
    if os.environ.get("QB_WINGET_SCHEMAS"):
        candidates.append(("QB_WINGET_SCHEMAS", os.environ["QB_WINGET_SCHEMAS"]))
    candidates.append(("beside the checkout",
                       os.path.join(os.path.dirname(ROOT), "shared", "winget-schema")))
    origin, path = candidates[0]
    probe = os.path.join(path, f"manifest.version.{MANIFEST_VERSION}.json")
    if not os.path.isfile(probe):
        raise ManifestError(
            f"winget schemas not found: no {probe} ({origin}); give --schemas DIR or set "
            f"QB_WINGET_SCHEMAS to the folder holding manifest.*.{MANIFEST_VERSION}.json")
    return path


def load_manifests(manifest_dir, yaml):
    """{manifest type: (file name, mapping)} of the .yaml files in MANIFEST_DIR."""
    try:
        names = sorted(n for n in os.listdir(manifest_dir) if n.endswith(".yaml"))
    except OSError as e:
        raise ManifestError(f"cannot list {manifest_dir}: {e.strerror}")
    found = {}
    for name in names:
        try:
            with open(os.path.join(manifest_dir, name), encoding="utf-8") as f:
                data = yaml.safe_load(f)
        except (OSError, UnicodeDecodeError, yaml.YAMLError) as e:
            raise ManifestError(f"{name}: not readable YAML: {e}")
        kind = data.get("ManifestType") if isinstance(data, dict) else None
        if kind not in ("version", "installer", "defaultLocale"):
            raise ManifestError(f"{name}: not a version, installer or defaultLocale manifest")
        if kind in found:
            raise ManifestError(f"two {kind} manifests: {found[kind][0]} and {name}")
        found[kind] = (name, data)
    missing = [k for k in ("version", "installer", "defaultLocale") if k not in found]
    if missing:
        raise ManifestError(f"{manifest_dir}: no {', '.join(missing)} manifest")
    return found


def check_manifests(manifest_dir, installer_path, schemas=None, root=ROOT):
    """The findings, one line each; empty when the manifest is right."""
    try:
        import jsonschema
        import yaml
    except ImportError as e:
        raise ManifestError(f"checking needs python3-jsonschema and python3-yaml "
                            f"(scripts/setup installs them): {e}")
    import json
    schemas = schema_dir(schemas)
    found = load_manifests(manifest_dir, yaml)
    problems = []

    for kind, (name, data) in found.items():
        version = data.get("ManifestVersion")
        schema_path = os.path.join(schemas, f"manifest.{kind}.{version}.json")
        if not isinstance(version, str) or not os.path.isfile(schema_path):
            problems.append(f"{name}: no schema for ManifestVersion {version!r} in {schemas}")
            continue
        with open(schema_path, encoding="utf-8") as f:
            schema = json.load(f)
        cls = jsonschema.validators.validator_for(schema)
        cls.check_schema(schema)
        checker = getattr(cls, "FORMAT_CHECKER", None) or jsonschema.FormatChecker()
        for error in sorted(cls(schema, format_checker=checker).iter_errors(data), key=str):
            where = "/".join(str(p) for p in error.absolute_path) or "(top)"
            problems.append(f"{name}: {where}: {error.message}")

    first = found["version"][1]
    for key in ("PackageIdentifier", "PackageVersion", "ManifestVersion"):
        for kind, (name, data) in found.items():
            if data.get(key) != first.get(key):
                problems.append(f"{name}: {key} {data.get(key)!r}, the version manifest has "
                                f"{first.get(key)!r}")
    if found["defaultLocale"][1].get("PackageLocale") != first.get("DefaultLocale"):
        problems.append("the defaultLocale manifest's PackageLocale is not the DefaultLocale")
    identifier = first.get("PackageIdentifier")
    if isinstance(identifier, str):
        expected_names = manifest_names(identifier)
        expected_names["defaultLocale"] = f"{identifier}.locale.{first.get('DefaultLocale')}.yaml"
        for kind, (name, _) in found.items():
            if name != expected_names[kind]:
                problems.append(f"{name}: winget names this manifest {expected_names[kind]}")

    name, installer = found["installer"]
    try:
        codes = sorted(code for code, _ in expected_return_codes(
            parse_exit_codes(read_text(os.path.join(root, "app", "exit_codes.h")))))
        product_code = "Quillbank" + read_package_number(
            read_text(os.path.join(root, "res", "installer.rc")))
    except ManifestError as e:
        return problems + [str(e)]
    sha256 = file_sha256(installer_path)
    entries = installer.get("Installers")
    for i, entry in enumerate(entries if isinstance(entries, list) else []):
        if not isinstance(entry, dict):
            continue
        where = f"{name}: Installers/{i}"
        # What an installer entry leaves out it takes from the top of the manifest.
        returns = entry.get("ExpectedReturnCodes", installer.get("ExpectedReturnCodes")) or []
        given = [r.get("InstallerReturnCode") for r in returns if isinstance(r, dict)]
        # bool is an int to Python, but not to YAML or winget.
        if not all(type(c) is int for c in given) or sorted(given) != codes:
            problems.append(f"{where}: ExpectedReturnCodes {given}, the program's non-zero exit "
                            f"codes are {codes}")
        arp = entry.get("AppsAndFeaturesEntries",
                        installer.get("AppsAndFeaturesEntries")) or []
        if not arp:
            problems.append(f"{where}: no AppsAndFeaturesEntries")
        for a in arp:
            if not isinstance(a, dict):
                continue
            if a.get("DisplayVersion") != installer.get("PackageVersion"):
                problems.append(f"{where}: DisplayVersion {a.get('DisplayVersion')!r} is not "
                                f"the PackageVersion {installer.get('PackageVersion')!r}")
            if a.get("ProductCode") != product_code:
                problems.append(f"{where}: ProductCode {a.get('ProductCode')!r}, the program's "
                                f"Apps & features entry is {product_code}")
        given_sha = entry.get("InstallerSha256")
        if not isinstance(given_sha, str) or given_sha.upper() != sha256:
            problems.append(f"{where}: InstallerSha256 {given_sha!r} is not that of "
                            f"{installer_path} ({sha256})")
    return problems


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", metavar="DIR", help="check the manifest in DIR")
    parser.add_argument("--out", metavar="DIR", help="write the manifest into DIR")
    parser.add_argument("--installer", metavar="EXE", required=True,
                        help="the built, signed quillbank-setup.exe")
    parser.add_argument("--schemas", metavar="DIR", help="folder of winget's JSON schemas")
    for option in ("identifier", "package-version", "installer-url", "publisher",
                   "publisher-url", "license", "short-description"):
        parser.add_argument("--" + option)
    args = parser.parse_args(argv)
    if (args.check is None) == (args.out is None):
        parser.error("give one of --check DIR and --out DIR")
    try:
        if args.check is not None:
            problems = check_manifests(args.check, args.installer, args.schemas)
            for p in problems:
                print(p)
            print(f"winget manifest in {args.check}: " +
                  (f"{len(problems)} problem(s)" if problems else "ok"))
            return 1 if problems else 0
        values = {k: getattr(args, k) for k in (
            "identifier", "package_version", "installer_url", "publisher", "publisher_url",
            "license", "short_description")}
        absent = sorted("--" + k.replace("_", "-") for k, v in values.items() if v is None)
        if absent:
            parser.error("writing needs " + ", ".join(absent))
        values["installer_sha256"] = file_sha256(args.installer)
        for path in write_manifests(args.out, build_manifests(values)):
            print(f"wrote {path}")
        return 0
    except ManifestError as e:
        print(f"winget_manifest: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
