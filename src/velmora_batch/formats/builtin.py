"""The formats velmora_batch reads and writes, registered once, in the order
messages list their suffixes: a new format is one module implementing
:class:`velmora_batch.formats.Format` and one line here."""

from . import csv, dataset, hdf5, npz, parquet, register, root

register(parquet.FORMAT)
register(npz.FORMAT)
register(csv.FORMAT)
register(root.FORMAT)
register(hdf5.FORMAT)
register(dataset.FORMAT)
