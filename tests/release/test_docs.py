"""Every example of qrvxconfig.ini that an admin may copy, in both READMEs and the archive's sample, starts
with a comment line: Windows' profile reader does not skip a UTF-8 byte-order mark, and a section header on
the mark's line is not found. Every line that is [Configuration] alone must belong to an example this finds."""

import re
import sys
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SECTION = "[Configuration]"


def markdown_examples(text):
    """The ```ini blocks, the one-line rendering that the demo prints, and PowerShell -Value lists."""
    blocks = [block.strip().splitlines() for block in re.findall(r"```ini\n(.*?)```", text, re.S)]
    demo = [line.split(":", 1)[1].split(" | ") for line in text.splitlines() if line.startswith("qrvxconfig.ini:")]
    return blocks + demo + value_lists(text)


def text_examples(text):
    """The indented blocks of a plain-text README that hold the section, and PowerShell -Value lists."""
    blocks = [block.strip().splitlines() for block in re.findall(r"(?m)((?:^  .*\n)+)", text)]
    return [block for block in blocks if SECTION in block] + value_lists(text)


def value_lists(text):
    return [re.findall(r"'([^']*)'", line.split("-Value", 1)[1]) for line in text.splitlines()
            if "-Value" in line and SECTION in line]


class ConfigurationExamplesTest(unittest.TestCase):
    def check(self, name, text, examples):
        standalone = [line for line in text.splitlines() if line.strip() == SECTION]
        found = [line for example in examples for line in example if line.strip() == SECTION]
        self.assertGreaterEqual(len(found), len(standalone), f"{name}: an example this test does not read")
        for example in examples:
            with self.subTest(name, example=example[:2]):
                self.assertTrue(example and example[0].strip().startswith(";"), example)

    def test_readme(self):
        text = (ROOT / "README.md").read_text()
        self.check("README.md", text, markdown_examples(text))

    def test_archive_readme(self):
        text = (ROOT / "packaging" / "README.txt").read_text()
        self.check("README.txt", text, text_examples(text))

    def test_sample(self):
        lines = (ROOT / "packaging" / "qrvxconfig.ini").read_text().splitlines()
        self.assertTrue(lines[0].startswith(";"), lines[0])
        self.assertIn(SECTION, lines)


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False, verbosity=2).result.wasSuccessful() else 1)
