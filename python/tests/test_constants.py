"""The package's constants against the C header they are copied from: each
name in vq6120.constants is the header's with the VQ6120_ prefix, and every
member of the header's families the package mirrors has its copy."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

from vq6120 import constants  # noqa: E402

HEADER = os.path.join(os.path.dirname(__file__), "..", "..", "include", "VQ6120_LIB.h")
# The terminal's own values, which the header states in words only.
NOT_IN_HEADER = {"DEFAULT_PORT", "BAUD_RATES"}
# Families of the header copied whole.
FAMILIES = ("VQ6120_RECV_", "VQ6120_REFUSED_", "VQ6120_SEND_QUEUE_")


def header_numbers(text):
    """Every `#define VQ6120_X N` and enumerator `VQ6120_X = N` of the header."""
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    found = {}
    for name, value in re.findall(r"#define\s+(VQ6120_\w+)\s+(-?\d+)\b", text):
        found[name] = int(value)
    for body in re.findall(r"enum\s*\{(.*?)\}", text, flags=re.S):
        for name, value in re.findall(r"(VQ6120_\w+)\s*=\s*(-?\d+)", body):
            found[name] = int(value)
    return found


class ConstantsTest(unittest.TestCase):
    def setUp(self):
        with open(HEADER, encoding="utf-8") as f:
            self.header = header_numbers(f.read())
        self.package = {n: v for n, v in vars(constants).items() if n.isupper() and n not in NOT_IN_HEADER}

    def test_parser_reads_both_kinds(self):
        self.assertEqual(header_numbers("#define VQ6120_A 7\nenum {\n VQ6120_B = 1, /* x = 9 */\n VQ6120_C = 2\n};"),
                         {"VQ6120_A": 7, "VQ6120_B": 1, "VQ6120_C": 2})

    def test_each_copy_equals_the_header(self):
        self.assertTrue(self.package)
        for name, value in self.package.items():
            with self.subTest(name=name):
                self.assertIn("VQ6120_" + name, self.header, "not in the header")
                self.assertEqual(value, self.header["VQ6120_" + name])

    def test_families_copied_whole(self):
        for name in self.header:
            if name.startswith(FAMILIES):
                with self.subTest(name=name):
                    self.assertIn(name[len("VQ6120_"):], self.package)


if __name__ == "__main__":
    unittest.main()
