"""The six list types as test subjects: distinct items of each, a key that
compares items by value (records define no equality), and an item of the
wrong type. Shared by test_vectors.py and test_vector_properties.py."""

import velmora

NAMES = ["DoubleVector", "IntVector", "uint16Vector", "PEListVector", "ZozuvUzaTriggerVector",
         "MultiPMTTriggerVector"]
RECORD_TIMES = [t * 1e-6 + k * 1e-10 for t in range(1, 6) for k in range(20)]


def zozuvuza_key(r):
    return (r.channel, r.trigger_time_s, r.trigger_time_ticks, r.baseline, r.intsum, tuple(r.waveform))


def multipmt_key(r):
    return (r.time, r.channel, r.time_over_threshold, r.adc_sample)


def pe_key(p):
    return (p[0], tuple(p[1]))


class Kind:
    def __init__(self, cls, make_items, key, bad, base=None):
        self.cls, self._make_items, self.key, self.bad, self._base = cls, make_items, key, bad, base
        self.records = cls in (velmora.ZozuvUzaTriggerVector, velmora.MultiPMTTriggerVector)
        self.waveforms = cls is velmora.ZozuvUzaTriggerVector

    def items(self, n):
        """n distinct items; records refer into a vector of their own."""
        if not self.records:
            return self._make_items(n)
        src = self.cls()
        for i in range(n):
            src.append(self._base[i % len(self._base)])
        for i in range(n):
            src[i].channel = 100 + i
        return [src[i] for i in range(n)]

    def keys(self, v):
        return [self.key(x) for x in v]


def kind(name, zozuvuza_records, multipmt_records):
    """The Kind of the list type `name`; the record kinds draw their items from
    the records given."""
    if name == "DoubleVector":
        return Kind(velmora.DoubleVector, lambda n: [i + 0.5 for i in range(n)], float, "x")
    if name == "IntVector":
        return Kind(velmora.IntVector, lambda n: [i - 3 for i in range(n)], int, 1.5)
    if name == "uint16Vector":
        return Kind(velmora.uint16Vector, lambda n: [i * 7 for i in range(n)], int, -1)
    if name == "PEListVector":
        return Kind(velmora.PEListVector, lambda n: [(i, [i * 1e-9] * (i % 3)) for i in range(n)], pe_key, 5)
    if name == "ZozuvUzaTriggerVector":
        return Kind(velmora.ZozuvUzaTriggerVector, None, zozuvuza_key, 5, zozuvuza_records)
    assert name == "MultiPMTTriggerVector"
    return Kind(velmora.MultiPMTTriggerVector, None, multipmt_key, 5, multipmt_records)
