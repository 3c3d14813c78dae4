"""Rewrites the README's table of record columns from the installed
velmora_batch's column table (what `velmora schema records MODEL --markdown`
prints), for after a column is added or described anew:

    $PY tools/update_readme_columns.py
"""

import re
from pathlib import Path

from velmora_batch.internal import columns_tables

README = Path(__file__).resolve().parents[1] / "README.md"
BLOCK = re.compile(r"(<!-- record columns: [^\n]*-->\n)(.*?)(<!-- end of record columns -->)", re.S)


def main() -> None:
    text = README.read_text()
    new, count = BLOCK.subn(lambda m: m.group(1) + columns_tables() + m.group(3), text)
    if count != 1:
        raise SystemExit(f"{README}: no table of record columns between its markers")
    README.write_text(new)


if __name__ == "__main__":
    main()
