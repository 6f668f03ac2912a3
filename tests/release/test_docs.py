"""The guides held to the code and to the archive.

- Every example of qrvxconfig.ini that an admin may copy starts with a comment line: Windows' profile reader
  does not skip a UTF-8 byte-order mark, and a section header on the mark's line is not found. Every line
  that is [Configuration] alone must belong to an example this finds.
- Every exit code and event ID a guide names is one the code defines, and where a guide says what one means,
  it says it in the code's words: the meanings in check/Verdict.cpp, which the check's line begins with, and
  the event table of outcome/RunRecord.h.
- Every file that the admin's guides name is one the archive ships; the trial run on one machine runs
  the launcher, which gives the verdict; the detection rule is the same line in every guide."""

import re
import sys
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))

import dist  # noqa: E402

SECTION = "[Configuration]"
DOCS = sorted((ROOT / "docs").glob("*.md"))
README = ROOT / "README.md"
ARCHIVE_GUIDE = ROOT / "packaging" / "README.txt"
LAUNCHER = ROOT / "packaging" / dist.LAUNCHER
SAMPLE = ROOT / "packaging" / "qrvxconfig.ini"
# The admin's pages, and the archive's guide, which must stand alone.
ADMIN_GUIDES = [ROOT / "docs" / name for name in ("deploying.md", "troubleshooting.md", "https-and-proxies.md")]
# Codes that the guides name as a deployment tool's own defaults, not the launcher's.
TOOLS_OWN_CODES = {1641, 1707}


def words(text):
    return " ".join(text.split())


def c_strings(text):
    """The C++ string literals of TEXT, adjacent ones joined, as they are compiled."""
    return "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', text))


def exit_meanings():
    """{exit status: its meaning} from check/Verdict.cpp."""
    source = (ROOT / "qrvxSuninstall" / "check" / "Verdict.cpp").read_text()
    constants = {name: int(value) for name, value in re.findall(r"constexpr int (k\w+) = (\d+);", source)}
    table = source[source.index("kMeanings[] = {"):]
    table = table[:table.index("};")]
    return {constants[name]: c_strings(literals)
            for name, literals in re.findall(r"\{(k\w+),((?:\s*\"(?:[^\"\\]|\\.)*\")+)\s*\}", table)}


def event_meanings():
    """{event ID: (type, meaning)} from the table in outcome/RunRecord.h."""
    source = (ROOT / "qrvxSuninstall" / "outcome" / "RunRecord.h").read_text()
    rows = {}
    for match in re.finditer(r"^//\s+(\d{3})\s+(Information|Warning|Error)\s+(.*(?:\n//\s{10,}.*)*)", source, re.M):
        rows[int(match[1])] = (match[2], words(re.sub(r"\n//", " ", match[3])))
    return rows


def indented_rows(text, key):
    """{key: text} of the rows of a plain-text table: a line starting with KEY (a regex, one group) after
    the indent, and the lines indented deeper under it; the first such row of each key."""
    rows = {}
    for match in re.finditer(r"^(?:rem)?\s+" + key + r"\s+(.*(?:\n(?:rem)?\s{6,}\S.*)*)", text, re.M):
        rows.setdefault(int(match[1]), words(re.sub(r"\n(?:rem)?", " ", match[2])))
    return rows


def markdown_rows(text, key):
    """{key: [cells after it]} of the Markdown table rows whose first cell is KEY (a regex, one group)."""
    rows = {}
    for line in text.splitlines():
        match = re.match(r"\|\s*\**" + key + r"\**\s*\|(.*)\|\s*$", line)
        if match:
            rows.setdefault(int(match[1]), [cell.strip() for cell in match[2].split("|")])
    return rows


class ConfigurationExamplesTest(unittest.TestCase):
    @staticmethod
    def markdown_examples(text):
        """The ```ini blocks, and PowerShell -Value lists."""
        blocks = [block.strip().splitlines() for block in re.findall(r"```ini\n(.*?)```", text, re.S)]
        return blocks + ConfigurationExamplesTest.value_lists(text)

    @staticmethod
    def text_examples(text):
        """The indented blocks of a plain-text README that hold the section, and PowerShell -Value lists."""
        blocks = [block.strip().splitlines() for block in re.findall(r"(?m)((?:^  .*\n)+)", text)]
        return [block for block in blocks if SECTION in block] + ConfigurationExamplesTest.value_lists(text)

    @staticmethod
    def value_lists(text):
        return [re.findall(r"'([^']*)'", line.split("-Value", 1)[1]) for line in text.splitlines()
                if "-Value" in line and SECTION in line]

    def check(self, name, text, examples):
        standalone = [line for line in text.splitlines() if line.strip() == SECTION]
        found = [line for example in examples for line in example if line.strip() == SECTION]
        self.assertGreaterEqual(len(found), len(standalone), f"{name}: an example this test does not read")
        for example in examples:
            with self.subTest(name, example=example[:2]):
                self.assertTrue(example and example[0].strip().startswith(";"), example)

    def test_markdown_guides(self):
        for page in [README, *DOCS]:
            text = page.read_text()
            self.check(page.name, text, self.markdown_examples(text))

    def test_archive_readme(self):
        text = ARCHIVE_GUIDE.read_text()
        self.check("README.txt", text, self.text_examples(text))

    def test_sample(self):
        lines = SAMPLE.read_text().splitlines()
        self.assertTrue(lines[0].startswith(";"), lines[0])
        self.assertIn(SECTION, lines)


class CodesTest(unittest.TestCase):
    def test_every_exit_code_a_guide_names_is_the_launchers_in_the_checks_words(self):
        meanings = exit_meanings()
        self.assertEqual(sorted(meanings), [0, 1603, 1610, 1618, 3010])
        tables = {
            "deploying.md": {code: cells[0] for code, cells in
                             markdown_rows((ROOT / "docs" / "deploying.md").read_text(), r"(\d+)").items()},
            "README.txt": indented_rows(ARCHIVE_GUIDE.read_text(), r"(0|3010|1618|1610|1603)"),
            dist.LAUNCHER: indented_rows(LAUNCHER.read_text(), r"(0|3010|1618|1610|1603)"),
        }
        for name, table in tables.items():
            with self.subTest(name):
                self.assertEqual(table, meanings)
        for page in [README, *DOCS, ARCHIVE_GUIDE]:
            named = {int(code) for code in re.findall(r"\b(16\d\d|17\d\d|3010)\b", page.read_text())}
            with self.subTest(page.name):
                self.assertLessEqual(named, set(meanings) | TOOLS_OWN_CODES)

    def test_every_event_a_guide_names_is_the_programs_in_its_words(self):
        events = event_meanings()
        self.assertEqual(sorted(events), [100, 101, 102, 103, 104])
        troubleshooting = (ROOT / "docs" / "troubleshooting.md").read_text()
        tables = {
            "troubleshooting.md": {event: (cells[0], cells[1]) for event, cells in
                                   markdown_rows(troubleshooting, r"(1\d\d)").items()},
            "README.txt": {event: tuple(row.split(" ", 1)) for event, row in
                           indented_rows(ARCHIVE_GUIDE.read_text(), r"(10\d)").items()},
        }
        for name, table in tables.items():
            with self.subTest(name):
                self.assertEqual(table, events)
        for page in [README, *DOCS, ARCHIVE_GUIDE]:
            text = page.read_text()
            named = re.findall(r"\b[Ee]vents?\s+(?:ID\s+)?(\d{3})(?:\s+or\s+(\d{3}))?", text)
            # The cause table's second column: the event, or two, before the kept Report.
            named += re.findall(r"^\|\s*\d+\s*\|\s*(\d{3})(?:\s+or\s+(\d{3}))?[,\s]", text, re.M)
            with self.subTest(page.name):
                self.assertLessEqual({int(n) for pair in named for n in pair if n}, set(events))


class ArchiveCommandsTest(unittest.TestCase):
    def test_every_file_the_admins_guides_name_ships_in_the_archive(self):
        for page in [*ADMIN_GUIDES, ARCHIVE_GUIDE]:
            named = set(re.findall(r"\b((?:qrvx[\w.-]*|README)\.(?:exe|cmd|ini|json|txt))\b",
                                   page.read_text()))
            with self.subTest(page.name):
                self.assertLessEqual(named, set(dist.SHIPPED))
                if page == ARCHIVE_GUIDE:
                    self.assertEqual(named, set(dist.SHIPPED), "the guide names every file of its folder")

    def test_the_trial_on_one_machine_runs_the_launcher(self):
        for page in [ROOT / "docs" / "deploying.md", ARCHIVE_GUIDE]:
            trials = [line for line in page.read_text().splitlines() if line.strip().startswith("psexec")]
            with self.subTest(page.name):
                self.assertTrue(trials)
                for line in trials:
                    self.assertNotIn(dist.PROGRAM, line, "the program alone always exits 0")
                self.assertTrue(any(dist.LAUNCHER in line for line in trials))

    def test_the_detection_rule_is_one_line_everywhere(self):
        rules = {page.name: [line.strip() for line in page.read_text().splitlines()
                             if "Get-Service -Name 'QUORVEX$TARNIKE'" in line]
                 for page in (ROOT / "docs" / "deploying.md", ARCHIVE_GUIDE)}
        [rule] = rules["deploying.md"]
        self.assertEqual(rules["README.txt"], [rule])
        self.assertIn("'HKLM:\\SOFTWARE\\qrvxSuninstall'", rule)


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False, verbosity=2).result.wasSuccessful() else 1)
