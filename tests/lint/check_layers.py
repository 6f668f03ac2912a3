"""Each folder of the program includes only from the folders below it, so that a lower layer never learns of
a higher one: the transport hears nothing of the record it feeds, the record nothing of the run.

python3 check_layers.py PROGRAM_DIR; prints each include that reaches up, and exits 1 if there is one.
"""

import re
import sys
from pathlib import Path

# The folders a folder may include from, besides itself.
BELOW = {
    "platform": set(),
    "common": {"platform"},
    "config": {"platform", "common"},
    "service": {"platform", "common", "config"},
    "adapter": {"platform", "common"},
    "transport": {"platform", "common", "config"},
    "outcome": {"platform", "common", "config", "adapter", "transport"},
    "app": {"platform", "common", "config", "service", "adapter", "transport", "outcome"},
    # The check's dry run takes the run's own report flow.
    "check": {"platform", "common", "config", "service", "adapter", "transport", "outcome", "app"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^/"]+)/', re.M)


def upward_includes(program):
    for source in sorted(program.rglob("*")):
        if source.suffix not in (".cpp", ".h"):
            continue
        folder = source.relative_to(program).parts[0]
        for included in INCLUDE.findall(source.read_text(encoding="utf-8")):
            if included != folder and included not in BELOW.get(folder, set()):
                yield f"{source.relative_to(program)} includes from {included}/"


def main():
    program = Path(sys.argv[1])
    unknown = sorted({p.name for p in program.iterdir() if p.is_dir()} - set(BELOW) - {"resources"})
    found = [f"{name}/ has no place among the layers" for name in unknown] + list(upward_includes(program))
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
