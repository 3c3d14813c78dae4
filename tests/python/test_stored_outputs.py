"""The installed module against the seeded outputs kept in tests/data/stored_outputs/.

Every record, delay, exception and warning line must be bit for bit the stored
one. A failure here means that a seeded run no longer reproduces: either a fault,
or an intended change, in which case tools/regen_stored_outputs.py rewrites the
files and the commit says why.
"""

import pytest

import stored_outputs

STORED = {model: stored_outputs.load(model) for model in stored_outputs.MODELS}


def first_difference(actual, expected):
    for i, (a, e) in enumerate(zip(actual, expected)):
        if a != e:
            return f"line {i} of the case:\n  stored: {e}\n  now:    {a}"
    return f"the stored case has {len(expected)} lines, the run gives {len(actual)}"


@pytest.mark.parametrize("case", stored_outputs.CASES, ids=lambda c: f"{c.model}-{c.name}")
def test_seeded_run_reproduces_the_stored_output(case):
    expected = STORED[case.model].get(case.name)
    assert expected is not None, f"no stored output for {case.model}/{case.name}: run tools/regen_stored_outputs.py"
    actual = stored_outputs.run_case(case)
    # The inputs first, so that a changed case definition is not mistaken for changed records.
    headers = [line for line in actual if "case" in line]
    assert headers == [line for line in expected if "case" in line], "the case's calls or PE times changed"
    assert actual == expected, first_difference(actual, expected)


def test_every_stored_case_is_still_run():
    names = {(c.model, c.name) for c in stored_outputs.CASES}
    stored = {(model, name) for model, cases in STORED.items() for name in cases}
    assert stored == names


def test_stored_outputs_stay_small():
    files = [p for p in stored_outputs.DATA.rglob("*") if p.is_file()]
    assert sum(p.stat().st_size for p in files) < 1_000_000


def test_cases_cover_what_the_records_depend_on():
    """The stored cases must keep covering every early-window policy, errors, records and delays."""
    lines = [line for cases in STORED.values() for case in cases.values() for line in case]
    assert {line["case"] for line in lines if "case" in line} >= {f"early_{p}" for p in ("ignore", "zero", "warn", "throw")}
    assert any(line.get("error", [""])[0] == "RuntimeError" and line["error"][1].startswith("Early trigger at")
               for line in lines)
    assert any("stderr" in line and line["stderr"].startswith("[Warning] Ignoring early trigger at") for line in lines)
    assert sum("delay" in line for line in lines) == 2
    for model in stored_outputs.MODELS:
        assert sum("record" in line for case in STORED[model].values() for line in case) > 100, model
