"""Rewrites tests/data/stored_outputs/ from the installed velmora module.

    .venv/bin/python tools/regen_stored_outputs.py [--detector]

Run it only when a change of the seeded records is intended, and say so in the
commit message: the stored outputs are the record of what seeded runs gave.
--detector also rewrites the detector files that the cases read.
"""

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))

import stored_outputs  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--detector", action="store_true", help="also rewrite the detector files")
    args = parser.parse_args()
    if args.detector or not stored_outputs.DETECTOR.exists():
        stored_outputs.write_detector()
    for model in stored_outputs.MODELS:
        lines = []
        for case in stored_outputs.CASES:
            if case.model == model:
                lines.extend(stored_outputs.run_case(case))
        target = stored_outputs.path(model)
        target.write_text(stored_outputs.dump(lines))
        records = sum("record" in line for line in lines)
        print(f"{target.relative_to(stored_outputs.ROOT)}: {records} records, {target.stat().st_size} bytes")


if __name__ == "__main__":
    main()
