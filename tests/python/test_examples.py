"""The bundled examples must keep working: the demo runs with the installed
module, finds the flash in every channel of both detectors, and draws its
plot; the detector demo runs a whole detector through the command line; the
committed detector files are the ones the generator writes."""

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
DEMO = EXAMPLES / "demo.py"
DETECTOR_DEMO = EXAMPLES / "detector_demo.py"
ROW = re.compile(r"^\s*(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(.*)$", re.MULTILINE)


def run_demo(*args):
    return subprocess.run([sys.executable, str(DEMO), *args], capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def demo_output():
    result = run_demo("--no-plot")
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def section(output, name):
    """The calibrated delay (ns) and the per-channel table rows that the demo
    printed for one detector."""
    parts = re.split(r"^== (\w+)$", output, flags=re.MULTILINE)
    sections = dict(zip(parts[1::2], parts[2::2]))
    assert list(sections) == ["ZozuvUza", "MultiPMT"], output
    text = sections[name]
    rows = ROW.findall(text)
    assert [int(r[0]) for r in rows] == list(range(8)), text
    assert "flash found in 8 of 8 channels" in text
    return float(re.search(r"calibrated delay: ([-\d.]+) ns", text).group(1)), rows


def test_zozuvuza_finds_the_flash_in_every_channel(demo_output):
    delay, rows = section(demo_output, "ZozuvUza")
    assert 0.0 < delay < 20.0
    for channel, dark, flash, records, rest in rows:
        assert "not found" not in rest, f"channel {channel}: {rest}"
        start_us, residual_ns = map(float, rest.split())
        assert int(records) >= 1 and int(flash) > 0
        assert start_us == pytest.approx(400.0, abs=0.05)
        # Time stamps are 4 ns ticks; the corrected time lies within a tick of the truth.
        assert abs(residual_ns) <= 4.0
    assert "plot written" not in demo_output


def test_multipmt_finds_the_flash_in_every_channel(demo_output):
    delay, rows = section(demo_output, "MultiPMT")
    assert 0.0 < delay < 10.0
    _, zozuvuza_rows = section(demo_output, "ZozuvUza")
    for (channel, dark, flash, hits, rest), same_pes in zip(rows, zozuvuza_rows):
        assert (dark, flash) == same_pes[1:3], "both detectors see the same PE list"
        assert "not found" not in rest, f"channel {channel}: {rest}"
        start_us, tot_ns, adc, residual_ns = map(float, rest.split())
        # Every dark PE above threshold adds a hit; nothing else but the flash
        # (and at most one of its late pulses) does.
        assert 1 <= int(hits) <= int(dark) + 2
        assert start_us == pytest.approx(400.0, abs=0.05)
        # Tens of PEs: a long pulse, sampled well above the 20 LSB baseline and below the clip.
        assert 10.0 < tot_ns < 40.0
        assert 300 < adc < 4000
        # The TDC counts 0.5 ns steps; the corrected start lies within a few of them.
        assert abs(residual_ns) <= 2.0


def test_detector_files_match_their_generator(tmp_path):
    result = subprocess.run([sys.executable, str(EXAMPLES / "make_detector_files.py"), "--output", str(tmp_path)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    for detector in ("zozuvuza", "zozuvuza_single_pe", "multipmt"):
        written = sorted(p.name for p in (tmp_path / detector).iterdir())
        committed = sorted(p.name for p in (EXAMPLES / detector).iterdir())
        assert written == committed
        for name in written:
            assert (tmp_path / detector / name).read_bytes() == (EXAMPLES / detector / name).read_bytes(), name


def test_demo_is_reproducible(demo_output):
    assert run_demo("--no-plot").stdout == demo_output


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None, reason="matplotlib is not installed")
def test_demo_writes_its_plot(tmp_path):
    result = run_demo("--output", str(tmp_path / "out"))
    assert result.returncode == 0, result.stdout + result.stderr
    png = tmp_path / "out" / "demo.png"
    assert f"plot written to {png}" in result.stdout
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert png.stat().st_size > 10_000


def test_detector_demo_runs_the_whole_detector(tmp_path):
    plot = importlib.util.find_spec("matplotlib") is not None
    result = subprocess.run([sys.executable, str(DETECTOR_DEMO), "--output", str(tmp_path), "--workers", "2",
                             *([] if plot else ["--no-plot"])], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    out = result.stdout
    assert out.count("$ velmora run ") == 2
    rate = float(re.search(r"dark-noise hit rate: ([\d.]+) kHz", out).group(1))
    assert 2.5 < rate < 3.0  # nearly every one of the 3 kHz of dark PEs fires the discriminator
    seen, lit = map(int, re.search(r"flash seen in (\d+) of (\d+) channels", out).groups())
    assert seen == lit > 1000
    found, bright, dim_found, dim = map(int, re.search(
        r"flash window in (\d+) of (\d+) channels with at least 10 flash PEs; (\d+) of (\d+)", out).groups())
    assert found == bright > 1000 and dim_found < dim / 10
    gain = float(re.search(r"charge per flash PE: ([\d.]+) LSB", out).group(1))
    assert 40 < gain < 80
    # The walk curve of both detectors: bright flashes always trigger, and sooner than faint ones.
    assert out.count("$ velmora calibrate ") == 2
    walks = dict((name, tuple(map(float, numbers))) for name, *numbers in re.findall(
        r"walk \((\w+)\): median delay ([-\d.]+) ns at (\d+) PEs \(efficiency ([\d.]+)\), "
        r"([-\d.]+) ns at (\d+) PEs \(efficiency ([\d.]+)\)", out))
    assert sorted(walks) == ["MultiPMT", "ZozuvUza"], out
    for name, (faint_delay, faint, faint_eff, bright_delay, bright, bright_eff) in walks.items():
        assert bright == 100 and bright_eff == 1.0 and faint_eff > 0, name
        assert 0 < bright_delay < faint_delay < 30, name
    assert walks["ZozuvUza"][1] == 2 and walks["MultiPMT"][1] == 1  # the faintest flash that triggers at all
    for name in ("zozuvuza", "multipmt"):
        table = (tmp_path / f"walk-{name}.csv").read_text().splitlines()
        assert table[0].startswith('"npe","events"') and len(table) == 11, table
    # Truth: the flash records are the ones that hold flash PEs; their charge follows the PEs' true charge,
    # and the run's efficiency against the true number of flash PEs agrees with the calibration's.
    slope, spread = map(float, re.search(r"charge per unit of true charge: ([\d.]+) LSB, spread ([\d.]+) %",
                                         out).groups())
    assert 50 < slope < 80 and spread < 5
    lines = re.findall(r"efficiency \((\w+)\) against true flash PEs, run \(calibration\): (.*)", out)
    assert sorted(name for name, _ in lines) == ["MultiPMT", "ZozuvUza"], out
    for name, text in lines:
        pairs = [tuple(map(float, p)) for p in re.findall(r"PEs? ([\d.]+) \(([\d.]+)\)", text)]
        assert len(pairs) == 6 and all(abs(run - cal) < 0.1 for run, cal in pairs), (name, text)
        assert pairs[-1] == (1.0, 1.0), name  # 10 PEs: every flash is seen
    if plot:
        png = tmp_path / "detector.png"
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and png.stat().st_size > 10_000


def test_readme_quick_start_runs_as_shown():
    """The first Python example of the README, run in the ZozuvUza example
    directory whose files it names: no warnings, no error."""
    text = (ROOT / "README.md").read_text()
    code = re.search(r"```python\n(.*?)```", text, re.DOTALL).group(1)
    assert "calibrate_delay" in code
    result = subprocess.run([sys.executable, "-c", code + "\nassert 0.0 < delay < 1e-6, delay\n"],
                            cwd=EXAMPLES / "zozuvuza", capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stderr == ""
