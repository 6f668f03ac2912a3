"""The guides held to the code and to the archive.

- Every example of qrvxconfig.ini that an admin may copy starts with a comment line: Windows' profile reader
  does not skip a UTF-8 byte-order mark, and a section header on the mark's line is not found. Every line
  that is [Configuration] alone must belong to an example this finds.
- Every exit code and event ID a guide names is one the code defines, and where a guide says what one means,
  it says it in the code's words: the meanings in check/Verdict.cpp, which the check's line begins with, and
  the event table of outcome/RunRecord.h.
- Every file that the admin's guides name is one the archive ships; the dry run comes first, the check's
  preflight as SYSTEM; the trial run on one machine runs the launcher, which gives the verdict, from the
  folder the archive unpacks to, and then the detection rule; the detection rule is the same line in every
  guide, and every command that embeds it embeds it whole; Intune's uninstall command never runs the
  removal again.
- The commands that gather the fleet's outcome read what the code writes: the record's key and value
  names, its Report words, the event source and the events' IDs.
- The signature check is the same line in every guide and hashes the signer's certificate with SHA-256, and
  the archive's guide holds the line that `make dist` fills with the signer or with "not signed"."""

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
            # A Windows version such as "version 1607" is no code.
            named = {int(code) for code in re.findall(r"(?<!version )\b(16\d\d|17\d\d|3010)\b", page.read_text())}
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
        # The folder the archive unpacks to, as dist.py names it.
        folders = {ROOT / "docs" / "deploying.md": r"qrvxSuninstall-\d+\.\d+\.\d+-win(32|64)",
                   ARCHIVE_GUIDE: r"qrvxSuninstall-@VERSION@-win(32|64)"}
        self.assertEqual(dist.ARCHES, ("win64", "win32"))
        for page, folder in folders.items():
            lines = page.read_text().splitlines()
            trials = [n for n, line in enumerate(lines) if line.strip().startswith("psexec")]
            with self.subTest(page.name):
                self.assertTrue(trials)
                for n in trials:
                    self.assertNotIn(dist.PROGRAM, lines[n], "the program alone always exits 0")
                [launched] = [n for n in trials if dist.LAUNCHER in lines[n]]
                # Before it, the dry run: the check's preflight as SYSTEM, by its full path, from its folder.
                [dry] = [n for n in trials if f'{dist.CHECK}" preflight' in lines[n]]
                self.assertLess(dry, launched)
                self.assertRegex(lines[dry], r'^\s*psexec -s -w "([^"]+)" "\1\\' + re.escape(dist.CHECK)
                                 + r'" preflight$')
                [copied] = [line for line in lines[:launched] if line.strip().startswith("robocopy")]
                self.assertRegex(copied.split()[1], "^" + folder + "$")
                self.assertRegex(" ".join(lines[launched + 1:]), r"psexec -s \\\\PC powershell -NoProfile -Command",
                                 "the detection rule is run after the launcher")

    def test_the_detection_rule_is_one_line_everywhere(self):
        rules = {page.name: [line.strip() for line in page.read_text().splitlines()
                             if "Get-Service -Name 'QUORVEX$TARNIKE'" in line]
                 for page in (ROOT / "docs" / "deploying.md", ARCHIVE_GUIDE)}
        rule = next(line for line in rules["deploying.md"] if line.startswith("if "))
        self.assertIn("'HKLM:\\SOFTWARE\\" + KEY.split("\\", 1)[1] + "'", rule)
        self.assertIn(f").{REPORT_VALUE})", rule)
        self.assertIn(f"@('{WORDS['told']}', '{WORDS['not registered']}')", rule)
        for name, lines in rules.items():
            with self.subTest(name):
                self.assertIn(rule, lines)
                for line in lines:
                    self.assertIn(rule[:-len(" { 'done' }")], line, "a command that embeds the rule embeds it whole")

    def test_intunes_uninstall_command_runs_no_removal(self):
        rows = [cells for cells in (line.split("|") for line in (ROOT / "docs" / "deploying.md").read_text()
                                    .splitlines()) if len(cells) > 3 and cells[2].strip() == "Uninstall command"]
        [cells] = rows
        command = cells[3].strip().strip("`")
        self.assertIn(command, set(dist.SHIPPED) - {dist.LAUNCHER, dist.PROGRAM})
        self.assertIn(command, dist.PROGRAMS, "a program of the archive, which only reads when given nothing")


# What the code writes, for the commands that read it back.
KEPT = (ROOT / "qrvxSuninstall" / "outcome" / "KeptOutcome.h").read_text()
KEY = re.search(r'kKey\[\] = "([^"]+)"', KEPT)[1].replace("\\\\", "\\")
REPORT_VALUE = re.search(r'kReportValue\[\] = "(\w+)"', KEPT)[1]
VALUES = set(re.findall(r'k\w+Value\[\] = "(\w+)"', KEPT))
WORDS = {word: word for word in re.findall(r'k\w+\[\] = "([a-z ]+)";', KEPT)}
EVENT_SOURCE = re.search(r'kEventSource\[\] = "(\w+)"',
                         (ROOT / "qrvxSuninstall" / "outcome" / "RunOutcome.cpp").read_text())[1]


class FleetCommandsTest(unittest.TestCase):
    GUIDE = ROOT / "docs" / "deploying.md"

    def test_the_code_names_what_the_commands_read(self):
        self.assertEqual(KEY, "SOFTWARE\\qrvxSuninstall")
        self.assertEqual(VALUES, {"Report", "Outcome", "Text"})
        self.assertEqual(set(WORDS), {"told", "not registered", "not told", "no server"})

    def test_cmpivot_reads_the_records_key_and_values(self):
        queries = re.findall(r"(?m)^Registry\('hklm:\\([^']+)'\) \| where Property == '(\w+)'", self.GUIDE.read_text())
        self.assertEqual({value for _, value in queries}, {"Report", "Outcome"})
        for key, value in queries:
            with self.subTest(value):
                self.assertEqual(key, KEY)
                self.assertIn(value, VALUES)

    def test_the_remediations_script_reads_the_records_values(self):
        text = self.GUIDE.read_text()
        script = re.search(r"```powershell\n(\$done = .*?)```", text, re.S)[1]
        self.assertEqual(set(re.findall(r"\$kept\.(\w+)", script)), VALUES)
        self.assertIn("exit 1", script, "Remediations counts exit 1 as found")
        self.assertRegex(script, r"(?m)^if \(\$done\) \{ exit 0 \} else \{ exit 1 \}$")

    def test_the_event_queries_name_the_source_and_its_events(self):
        for page in (self.GUIDE, ARCHIVE_GUIDE):
            text = page.read_text()
            queries = [line for line in text.splitlines() if line.strip().startswith("Get-WinEvent -FilterHashtable")]
            with self.subTest(page.name):
                self.assertTrue(queries)
                for query in queries:
                    self.assertIn(f"ProviderName='{EVENT_SOURCE}'", query)
                fleet = [query for query in queries if "ForwardedEvents" in query]
                self.assertEqual(len(fleet), 1)
                ids = re.search(r"Id=([\d,]+)", fleet[0])[1]
                self.assertEqual([int(n) for n in ids.split(",")], sorted(event_meanings()))
                self.assertIn(f"Provider[@Name='{EVENT_SOURCE}'] and (EventID>=100 and EventID<=104)", text)


class SignatureTest(unittest.TestCase):
    def test_the_archives_guide_holds_the_line_that_names_the_signer(self):
        lines = ARCHIVE_GUIDE.read_text().splitlines()
        self.assertEqual([line for line in lines if dist.SIGNATURE_MARK in line], [dist.SIGNATURE_MARK])
        self.assertIn("not signed", dist.signature_line(None))
        signed = dist.signature_line(("CN=Example, O=Example", "AB" * 32))
        self.assertEqual(signed, f"This release is signed by CN=Example, O=Example, SHA-256 thumbprint {'AB' * 32}.")

    def test_the_signature_check_compares_the_sha256_of_the_signers_certificate(self):
        checks = {page.name: [line.strip() for line in page.read_text().splitlines()
                              if line.strip().startswith("Get-AuthenticodeSignature")]
                  for page in (ROOT / "docs" / "deploying.md", ARCHIVE_GUIDE)}
        [check] = checks["deploying.md"]
        self.assertEqual(checks["README.txt"], [check])
        self.assertIn("SHA256]::Create().ComputeHash($_.SignerCertificate.RawData)", check)
        self.assertNotIn(".Thumbprint", check, "Windows' Thumbprint is SHA-1")
        for name in dist.PROGRAMS:
            self.assertIn(f".\\{name}", check)

    def test_the_archive_check_reads_sha256sums(self):
        for page in (ROOT / "docs" / "deploying.md", ARCHIVE_GUIDE):
            [check] = [line for line in page.read_text().splitlines() if "(Get-FileHash " in line]
            with self.subTest(page.name):
                self.assertIn("-Path .\\SHA256SUMS", check)
                self.assertRegex(check, r"Get-FileHash -Algorithm SHA256 \.\\qrvxSuninstall-\S+-win32\.zip\)")

if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False, verbosity=2).result.wasSuccessful() else 1)
