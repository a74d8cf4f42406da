#!/usr/bin/env python3
"""Tests of winget_manifest.py: the exit-code header is read whole or refused, what it writes
reads back as the same values and passes its own check, and the check finds a manifest that
no longer matches the program. Run: python3 -B packaging/winget_manifest_test.py"""
import os
import shutil
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winget_manifest as wm  # noqa: E402

try:
    import jsonschema  # noqa: F401
    import yaml
    HAVE_CHECK_MODULES = True
except ImportError:
    HAVE_CHECK_MODULES = False

with open(os.path.join(wm.ROOT, "app", "exit_codes.h"), encoding="utf-8") as f:
    HEADER = f.read()


class ExitCodeHeaderTest(unittest.TestCase):
    def test_header_and_response_table_must_name_the_same_codes(self):
        added = HEADER.replace("kExitFailed = 1603,", "kExitFailed = 1603,\n  kExitNew = 1700,")
        with self.assertRaisesRegex(wm.ManifestError, "without a winget response.*kExitNew"):
            wm.expected_return_codes(wm.parse_exit_codes(added))
        removed = HEADER.replace("kExitDowngrade = 1638,", "")
        with self.assertRaisesRegex(wm.ManifestError, "has not.*kExitDowngrade"):
            wm.expected_return_codes(wm.parse_exit_codes(removed))
        # A code turned into success is no longer a failure winget is told about.
        zeroed = HEADER.replace("kExitSuccess = 0,", "").replace("kExitFailed = 1603", "kExitFailed = 0")
        with self.assertRaisesRegex(wm.ManifestError, "kExitFailed"):
            wm.expected_return_codes(wm.parse_exit_codes(zeroed))

    def test_enumerators_it_cannot_read_are_refused_not_skipped(self):
        for bad in ("kExitOdd,", "kExitOdd = 1 << 3,", "kExitOdd = 0x20,", "kExitOdd = -5,",
                    "kExitOdd = 1602,", "kExitFailed = 1700,"):
            with self.subTest(bad=bad), self.assertRaises(wm.ManifestError):
                wm.parse_exit_codes(HEADER.replace("kExitSuccess = 0,",
                                                   "kExitSuccess = 0,\n  " + bad))
        with self.assertRaises(wm.ManifestError):
            wm.parse_exit_codes("enum Other : int { kExitFailed = 1603 };")

    def test_comments_are_not_codes_and_the_last_needs_no_comma(self):
        text = """
            // kExitRetired = 7, was the old lock code
            enum ExitCode : int {
              kExitSuccess = 0,  /* kExitGone = 9, */
              kExitFailed = 1603,  // kExitOther = 8,
              kExitDowngrade = 1638
            };"""
        self.assertEqual(wm.parse_exit_codes(text),
                         [("kExitSuccess", 0), ("kExitFailed", 1603), ("kExitDowngrade", 1638)])


class PackageVersionTest(unittest.TestCase):
    def test_is_the_text_the_installed_entry_shows(self):
        # DisplayVersionText prints plain decimal numbers.
        self.assertEqual(wm.package_version("01.20"), "9.3.1.20")
        self.assertEqual(wm.package_version("2147483647.0"), "9.3.2147483647.0")
        for bad in ("1", "1.2.3", "-1.0", "1.x", "2147483648.0", " 1.0", "9.3.1.0"):
            with self.subTest(bad=bad), self.assertRaises(wm.ManifestError):
                wm.package_version(bad)


@unittest.skipUnless(HAVE_CHECK_MODULES, "python3-jsonschema and python3-yaml are not installed")
class WriteAndCheckTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="winget-test-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.exe = os.path.join(self.dir, "quillbank-setup.exe")
        with open(self.exe, "wb") as f:
            f.write(b"MZ" + bytes(range(256)) * 40)
        self.out = os.path.join(self.dir, "winget")
        # Texts YAML would read otherwise unless quoted: a colon and space, a comment mark,
        # quotes, a boolean word, a number.
        self.values = {
            "identifier": "Quillbank.QuillbankIX",
            "package_version": "2.15",
            "installer_url": "https://quillbank.invalid/download/quillbank-setup.exe?v=2",
            "publisher": "Quill: \"bank\" #1 O'Neil",
            "publisher_url": "https://quillbank.invalid/",
            "license": "Yes",
            "short_description": "1.5",
            "installer_sha256": wm.file_sha256(self.exe),
        }
        wm.write_manifests(self.out, wm.build_manifests(self.values))
        self.names = wm.manifest_names(self.values["identifier"])

    def path(self, kind):
        return os.path.join(self.out, self.names[kind])

    def load(self, kind):
        with open(self.path(kind), encoding="utf-8") as f:
            return yaml.safe_load(f)

    def edit(self, kind, change):
        data = self.load(kind)
        change(data)
        with open(self.path(kind), "w", encoding="utf-8") as f:
            yaml.safe_dump(data, f, sort_keys=False)

    def test_written_manifest_reads_back_and_passes_the_check(self):
        self.assertEqual(sorted(os.listdir(self.out)), sorted(self.names.values()))
        self.assertEqual(wm.check_manifests(self.out, self.exe), [])
        installer, locale = self.load("installer"), self.load("defaultLocale")
        self.assertEqual(installer["PackageVersion"], "9.3.2.15")
        self.assertEqual(installer["Installers"][0]["InstallerUrl"], self.values["installer_url"])
        self.assertEqual(installer["InstallerSwitches"]["Log"], '/log="<LOGPATH>"')
        codes = [r["InstallerReturnCode"] for r in installer["ExpectedReturnCodes"]]
        self.assertEqual(codes, [32, 112, 1231, 1602, 1603, 1618, 1620, 1622, 1638, 1639])
        self.assertEqual(installer["AppsAndFeaturesEntries"][0]["ProductCode"], "Quillbank100201")
        self.assertEqual(locale["Publisher"], self.values["publisher"])
        self.assertEqual(locale["License"], "Yes")
        self.assertEqual(locale["ShortDescription"], "1.5")

    def test_check_finds_a_manifest_that_does_not_match(self):
        def drop_code(m):
            m["ExpectedReturnCodes"].pop()

        def code_as_text(m):
            m["ExpectedReturnCodes"][0]["InstallerReturnCode"] = "32"

        def other_display_version(m):
            m["AppsAndFeaturesEntries"][0]["DisplayVersion"] = "9.3.2.14"

        def unknown_response(m):
            m["ExpectedReturnCodes"][0]["ReturnResponse"] = "tryAgain"

        def other_version(m):
            m["PackageVersion"] = "9.3.2.16"

        cases = [
            ("installer", drop_code, "ExpectedReturnCodes"),
            ("installer", code_as_text, "InstallerReturnCode"),
            ("installer", other_display_version, "DisplayVersion"),
            ("installer", unknown_response, "ReturnResponse"),
            ("defaultLocale", other_version, "PackageVersion"),
        ]
        original = {}
        for kind in self.names:
            with open(self.path(kind), "rb") as f:
                original[kind] = f.read()
        for kind, change, expected in cases:
            with self.subTest(change=change.__name__):
                self.edit(kind, change)
                try:
                    problems = wm.check_manifests(self.out, self.exe)
                finally:
                    with open(self.path(kind), "wb") as f:
                        f.write(original[kind])
                self.assertTrue(any(expected in p for p in problems), problems)
        self.assertEqual(wm.check_manifests(self.out, self.exe), [])

        with open(self.exe, "ab") as f:
            f.write(b"\0")  # signed again, or changed after the manifest was made
        problems = wm.check_manifests(self.out, self.exe)
        self.assertTrue(any("InstallerSha256" in p for p in problems), problems)

    def test_files_must_be_named_and_found_as_winget_has_them(self):
        os.rename(self.path("installer"), os.path.join(self.out, "Other.Name.installer.yaml"))
        problems = wm.check_manifests(self.out, self.exe)
        self.assertTrue(any("winget names this manifest" in p for p in problems), problems)
        os.remove(os.path.join(self.out, "Other.Name.installer.yaml"))
        with self.assertRaisesRegex(wm.ManifestError, "no installer manifest"):
            wm.check_manifests(self.out, self.exe)
        with self.assertRaisesRegex(wm.ManifestError, "schemas not found.*QB_WINGET_SCHEMAS"):
            wm.check_manifests(self.out, self.exe, schemas=os.path.join(self.dir, "none"))


if __name__ == "__main__":
    unittest.main()
