"""Prints each skipped test of CTest's JUnit reports with the reason it gave, since CTest itself shows only
"Skipped". Usage: skip-reasons.py REPORT.xml..."""

import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path


def main(reports):
    for report in map(Path, reports):
        if not report.exists():
            continue
        for case in ElementTree.parse(report).getroot().iter("testcase"):
            if case.find("skipped") is None:
                continue
            said = (case.findtext("system-out") or "").strip().splitlines()
            print(f"{case.get('name')}: {said[-1] if said else 'Skipped, with no reason given.'}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
