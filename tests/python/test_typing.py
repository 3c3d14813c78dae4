"""The typed face of the module: the stubs ship with the wheel, and the typed usage sample runs as it type-checks
(the test command checks it with mypy --strict; here its calls, including those the stubs reject, meet the module)."""

import importlib.metadata
import os
import runpy
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


@pytest.mark.skipif("VELMORA_EXPECT_MODULE_DIR" in os.environ, reason="the module under test is a build tree, not the wheel")
def test_the_wheel_installs_the_current_stubs():
    dist = importlib.metadata.distribution("velmora")
    stubs = [f for f in dist.files or [] if f.parts[0] == "velmora-stubs"]
    assert [f.name for f in stubs] == ["__init__.pyi"]
    installed = Path(dist.locate_file(stubs[0])).read_text()
    assert installed == (ROOT / "velmora-stubs" / "__init__.pyi").read_text(), "reinstall: the stubs changed"


def test_typed_usage_sample_runs():
    runpy.run_path(str(ROOT / "tests" / "typing" / "usage.py"), run_name="__main__")
