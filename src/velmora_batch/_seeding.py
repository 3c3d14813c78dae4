"""Seeds of a run. With independent seeding every channel (or segment of a
channel) has its own seed, derived from the run's seed and the channel number
alone, so that its records never depend on how the run is split into blocks
or spread over workers:

* ``ss = numpy.random.SeedSequence(seed, spawn_key=(channel,))`` (or
  ``spawn_key=(channel, segment)`` for a segmented run),
* ``model_ss, noise_ss = ss.spawn(2)``,
* the model's ``std::mt19937`` is seeded by ``std::seed_seq`` over
  ``model_ss.generate_state(8, numpy.uint32)``,
* the channel's dark-noise times come from ``numpy.random.default_rng(noise_ss)``
  (always keyed by the channel alone, segmented or not).

With sequential seeding one generator, seeded from the integer seed exactly as
a model's constructor seeds its own, runs through the channels in increasing
order; dark noise is drawn as with independent seeding.
"""

from __future__ import annotations

import numbers

import numpy as np

SEEDING_MODES = ("independent", "sequential")

_INT_MIN = -(2**31)
_INT_MAX = 2**31 - 1


def resolve_seed(seed: int | None, seeding: str) -> int:
    """The seed a run uses: ``seed`` checked for the seeding mode, or, for
    ``None``, fresh entropy from the operating system (recorded with the
    run's output so that it can be repeated)."""
    if seeding not in SEEDING_MODES:
        raise ValueError(f"seeding must be 'independent' or 'sequential', got {seeding!r}")
    if seed is None:
        entropy = np.random.SeedSequence().entropy
        assert isinstance(entropy, int)  # drawn from the operating system, one integer
        return entropy if seeding == "independent" else entropy % 2**31
    if isinstance(seed, bool) or not isinstance(seed, numbers.Integral):
        raise TypeError(f"seed must be an integer, got {type(seed).__name__}")
    seed = int(seed)
    if seeding == "independent" and seed < 0:
        raise ValueError(f"seed must not be negative with independent seeding, got {seed}")
    if seeding == "sequential" and not _INT_MIN <= seed <= _INT_MAX:
        raise ValueError(f"seed must fit a 32-bit signed integer with sequential seeding, got {seed}")
    return seed


def _entropy(seed: int) -> int:
    # A sequential seed may be negative; the models use it modulo 2**32.
    return seed % 2**32 if seed < 0 else seed


def model_seed_state(seed: int, key: tuple[int, ...]) -> np.ndarray:
    """The 8 words (uint32) that seed the model generator of the channel or
    segment ``key``."""
    model_ss, _ = np.random.SeedSequence(_entropy(seed), spawn_key=key).spawn(2)
    return model_ss.generate_state(8, np.uint32)


def noise_generator(seed: int, channel: int) -> np.random.Generator:
    """The dark-noise generator of ``channel``."""
    _, noise_ss = np.random.SeedSequence(_entropy(seed), spawn_key=(channel,)).spawn(2)
    return np.random.default_rng(noise_ss)


def dark_noise(seed: int, channel: int, rate: float, duration: float) -> np.ndarray:
    """The dark-noise PE times of ``channel``: a Poisson number with mean
    ``rate * duration``, uniform over ``[0, duration)``, in draw order."""
    rng = noise_generator(seed, channel)
    n = rng.poisson(rate * duration)
    return rng.uniform(0.0, duration, n)
