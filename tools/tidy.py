"""Runs clang-tidy (.clang-tidy) on the C++ sources of src/ and bench/ and holds them to a baseline.

    python tools/tidy.py --build DIR [--jobs N] [--update]

DIR is a CMake build directory configured with CMAKE_EXPORT_COMPILE_COMMANDS=ON; every translation unit
under src/ and bench/ in its compile_commands.json is checked, and the headers under src/ and bench/
that they include. tools/tidy_baseline.txt lists, per file and check, how many warnings are accepted
for now. The run fails when a file has more warnings of a check than the baseline accepts (the new
ones are printed in full) or when clang-tidy reports an error. A file that has fewer is reported so
that the baseline can be lowered with --update, which rewrites it from this run.
"""

import argparse
import json
import re
import shutil
import subprocess
import sys
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BASELINE = ROOT / "tools" / "tidy_baseline.txt"
CHECKED = ("src/", "bench/")
DIAGNOSTIC = re.compile(r"^(?P<path>/[^:]+):(?P<line>\d+):(?P<col>\d+): (?P<kind>warning|error): "
                        r"(?P<message>.*?) \[(?P<check>[^\]]+)\]$")


def clang_tidy():
    """The clang-tidy of the venv that runs this script, else the one on the path."""
    beside = Path(sys.executable).parent / "clang-tidy"
    found = str(beside) if beside.exists() else shutil.which("clang-tidy")
    if found is None:
        sys.exit("tidy.py: no clang-tidy found")
    return found


def units(build):
    commands = json.loads((build / "compile_commands.json").read_text())
    files = {Path(c["directory"], c["file"]).resolve() for c in commands}
    return sorted(f for f in files if f.is_relative_to(ROOT) and str(f.relative_to(ROOT)).startswith(CHECKED))


def run_one(binary, build, unit):
    result = subprocess.run([binary, "-p", str(build), "--quiet", str(unit)], capture_output=True, text=True)
    output = result.stdout + result.stderr
    # clang-tidy exits non-zero only for errors, which the parser then finds; anything else is a failed run.
    if result.returncode != 0 and not any(": error: " in line for line in output.splitlines()):
        sys.exit(f"tidy.py: clang-tidy failed on {unit} (exit {result.returncode}):\n{output}")
    return output


def diagnostics(outputs):
    """Unique diagnostics in checked files: a header's warning is reported once per including unit."""
    found = set()
    for output in outputs:
        for line in output.splitlines():
            match = DIAGNOSTIC.match(line)
            if match is None:
                continue
            path = Path(match["path"]).resolve()
            if not path.is_relative_to(ROOT):
                continue
            rel = str(path.relative_to(ROOT))
            if rel.startswith(CHECKED):
                found.add((rel, int(match["line"]), int(match["col"]), match["kind"], match["check"],
                           match["message"]))
    return sorted(found)


def read_baseline():
    accepted = Counter()
    if BASELINE.exists():
        for line in BASELINE.read_text().splitlines():
            if line and not line.startswith("#"):
                count, path, check = line.split()
                accepted[(path, check)] = int(count)
    return accepted


def write_baseline(counts):
    lines = ["# clang-tidy warnings accepted for now, per file and check: count file check.",
             "# Lower it with python tools/tidy.py --build DIR --update after fixing some; never raise it to",
             "# hide a new warning without saying why in the commit message."]
    lines += [f"{n} {path} {check}" for (path, check), n in sorted(counts.items())]
    BASELINE.write_text("\n".join(lines) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", type=Path, required=True, help="build directory with compile_commands.json")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--update", action="store_true", help="rewrite the baseline from this run")
    args = parser.parse_args()
    build = args.build.resolve()

    binary = clang_tidy()
    todo = units(build)
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        found = diagnostics(pool.map(lambda unit: run_one(binary, build, unit), todo))
    errors = [d for d in found if d[3] == "error"]
    counts = Counter((d[0], d[4]) for d in found if d[3] == "warning")
    print(f"clang-tidy: {len(todo)} translation units, {sum(counts.values())} warnings, {len(errors)} errors")

    if args.update:
        write_baseline(counts)
        print(f"baseline rewritten: {BASELINE.relative_to(ROOT)}")
        return 1 if errors else 0

    accepted = read_baseline()
    if not found and sum(accepted.values()) > 0:
        # Every accepted warning gone at once means the output was not understood, not that all were fixed.
        print("clang-tidy: no diagnostics recognised although the baseline expects some; has the output format "
              "changed?")
        return 1
    over = {key for key, n in counts.items() if n > accepted[key]}
    for path, line, col, kind, check, message in found:
        if kind == "error" or (path, check) in over:
            print(f"{path}:{line}:{col}: {kind}: {message} [{check}]")
    under = sorted(key for key, n in accepted.items() if counts[key] < n)
    if under:
        print(f"fewer warnings than the baseline accepts in {len(under)} (file, check) pairs: "
              "lower it with tools/tidy.py --update")
    if over or errors:
        print("clang-tidy: new warnings above. Fix them, or, where one is to stay for now, accept them with\n"
              f"    {Path(sys.executable).name} tools/tidy.py --build {args.build} --update\n"
              "and say why in the commit message.")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
