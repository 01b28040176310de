"""The symbols the platform libraries expect the executable to export."""

import shutil
import subprocess
import unittest

from tkharness import DAEMON


def dynamic_symbols(path):
    """{name: (type letter, size)} of the defined dynamic symbols of path."""
    out = subprocess.run(["nm", "-D", "--defined-only", "-S", path], check=True, capture_output=True,
                         text=True).stdout
    symbols = {}
    for line in out.splitlines():
        fields = line.split()
        if len(fields) == 4:
            _, size, kind, name = fields
            symbols[name] = (kind, int(size, 16))
        elif len(fields) == 3:
            _, kind, name = fields
            symbols[name] = (kind, None)
    return symbols


@unittest.skipUnless(shutil.which("nm"), "binutils' nm is not installed")
class Exports(unittest.TestCase):
    def setUp(self):
        self.symbols = dynamic_symbols(DAEMON)

    def test_core_features_is_a_zeroed_object_of_1196_bytes(self):
        self.assertIn("g_corefeatures", self.symbols)
        kind, size = self.symbols["g_corefeatures"]
        self.assertEqual(kind, "B")  # zero-initialised data
        self.assertEqual(size, 1196)

    def test_command_runner_is_an_exported_function(self):
        self.assertIn("ZelvarCommandToBuff", self.symbols)
        self.assertEqual(self.symbols["ZelvarCommandToBuff"][0], "T")


if __name__ == "__main__":
    unittest.main()
