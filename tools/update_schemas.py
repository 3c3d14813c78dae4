"""Rewrites the JSON Schema of every model's config file (src/velmora_batch/schemas/) from the installed
velmora_batch's parameter tables, for after a model is added or a setting is added or described anew:

    $PY tools/update_schemas.py

(`velmora schema config MODEL` prints the installed file, so it cannot make a missing or stale one.)
"""

from pathlib import Path

from velmora_batch.internal import MODELS, config_schema_file, config_schema_text

SCHEMAS = Path(__file__).resolve().parents[1] / "src" / "velmora_batch" / "schemas"


def main() -> None:
    for model in MODELS:
        (SCHEMAS / config_schema_file(model).name).write_text(config_schema_text(model))


if __name__ == "__main__":
    main()
