"""The package's internals that its own benchmarks and tools (``bench/``,
``tools/``) measure or drive: the compiled engine, the seeding, the planning
of a run, record writers and readers below the public readers, the dataset
manifest, the table of record columns and the models' registry.

Not a stable interface: these names change with the package, without notice
or deprecation. Programs outside this repository use the public names of
``velmora_batch`` only."""

from . import _core as core
from . import _seeding as seeding
from ._dataset import MANIFEST, write_manifest
from ._formats import open_record_pieces
from ._models import MODELS, config_schema_file, config_schema_text, spec_of
from ._options import RunOptions
from ._plan import prepare
from ._records import Columns, columns_tables, open_writer, record_dtype, records_of

__all__ = ["MANIFEST", "MODELS", "Columns", "RunOptions", "columns_tables", "config_schema_file", "config_schema_text",
           "core", "open_record_pieces", "open_writer", "prepare", "record_dtype", "records_of", "seeding", "spec_of",
           "write_manifest"]
