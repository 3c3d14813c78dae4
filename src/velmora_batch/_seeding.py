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
  (always keyed by the channel alone, segmented or not),
* the channel's afterpulses come from ``numpy.random.default_rng(ss.spawn(4)[3])``
  with ``ss`` keyed by the channel alone (they are made when the channel's PE
  list is composed, before any segment split): one uniform number per parent
  PE in the PE list's order, a parent spawning an afterpulse where its number
  is below the probability, then one uniform number per afterpulse, in the
  order of their parents, turned into its delay by the inverse of the delay
  spectrum's cumulative distribution.
* a ZozuvUza run with baseline noise draws it from a generator seeded like the
  model's from the third child, ``ss.spawn(3)[2]`` (keyed by the channel or
  segment, in both seeding modes).

With sequential seeding one generator, seeded from the integer seed exactly as
a model's constructor seeds its own, runs through the channels in increasing
order; dark noise is drawn as with independent seeding.
"""

from __future__ import annotations

import numbers

import numpy as np

from ._errors import OptionError

SEEDING_MODES = ("independent", "sequential")

_INT_MIN = -(2**31)
_INT_MAX = 2**31 - 1


def resolve_seed(seed: int | None, seeding: str) -> int:
    """The seed a run uses: ``seed`` checked for the seeding mode, or, for
    ``None``, fresh entropy from the operating system (recorded with the
    run's output so that it can be repeated)."""
    if seeding not in SEEDING_MODES:
        raise OptionError("seeding", "{seeding} must be 'independent' or 'sequential', got {value!r}", value=seeding)
    if seed is None:
        entropy = np.random.SeedSequence().entropy
        assert isinstance(entropy, int)  # drawn from the operating system, one integer
        return entropy if seeding == "independent" else entropy % 2**31
    if isinstance(seed, bool) or not isinstance(seed, numbers.Integral):
        raise TypeError(f"seed must be an integer, got {type(seed).__name__}")
    seed = int(seed)
    if seeding == "independent" and seed < 0:
        raise OptionError("seed", "{seed} must not be negative with independent seeding, got {value}", value=seed)
    if seeding == "sequential" and not _INT_MIN <= seed <= _INT_MAX:
        raise OptionError("seed", "{seed} must fit a 32-bit signed integer with sequential seeding, got {value}",
                          value=seed)
    return seed


def _entropy(seed: int) -> int:
    # A sequential seed may be negative; the models use it modulo 2**32.
    return seed % 2**32 if seed < 0 else seed


def model_seed_state(seed: int, key: tuple[int, ...]) -> np.ndarray:
    """The 8 words (uint32) that seed the model generator of the channel or
    segment ``key``."""
    model_ss, _ = np.random.SeedSequence(_entropy(seed), spawn_key=key).spawn(2)
    return model_ss.generate_state(8, np.uint32)


def baseline_noise_seed_state(seed: int, key: tuple[int, ...]) -> np.ndarray:
    """The 8 words (uint32) that seed the baseline-noise generator of the
    ZozuvUza channel or segment ``key``: the third child of its
    SeedSequence (``ss.spawn(3)[2]``), in both seeding modes."""
    noise_ss = np.random.SeedSequence(_entropy(seed), spawn_key=key).spawn(3)[2]
    return noise_ss.generate_state(8, np.uint32)


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


def afterpulse_generator(seed: int, channel: int) -> np.random.Generator:
    """The afterpulse generator of ``channel``: that of
    ``SeedSequence(seed, spawn_key=(channel,)).spawn(4)[3]``, made directly
    from its spawn key ``(channel, 3)``."""
    return np.random.default_rng(np.random.SeedSequence(_entropy(seed), spawn_key=(channel, 3)))


# The largest density values used as given. A density is known up to a
# factor; one whose largest value lies outside this range is first scaled by a
# power of two to bring it to [1, 2). That scaling is exact and changes no
# draw, as long as no intermediate value (y0^2, the areas and their sums)
# leaves the normal doubles, as some would at such a scale. Spectra inside the
# range are not touched, so that their draws stay exactly what they were.
ORDINARY_DENSITY = (2.0**-256, 2.0**256)


def ordinary_scale(y: np.ndarray) -> np.ndarray:
    """The density values ``y`` (finite, not negative) at an ordinary scale:
    as given where their largest value lies within ORDINARY_DENSITY (or is
    0), else scaled by a power of two so that it lies in [1, 2)."""
    top = float(np.max(y, initial=0.0))
    if top == 0.0 or ORDINARY_DENSITY[0] <= top <= ORDINARY_DENSITY[1]:
        return y
    return np.asarray(np.ldexp(y, 1 - int(np.frexp(top)[1])), np.float64)


class PiecewiseLinear:
    """The density that is linear between the points (x, y), x not
    decreasing, y not negative, zero outside them, ready to be drawn from.
    Its draws do not depend on the scale of y (see ordinary_scale)."""

    def __init__(self, x: np.ndarray, y: np.ndarray) -> None:
        x = np.asarray(x, np.float64)
        y = ordinary_scale(np.asarray(y, np.float64))
        self.x0, self.width = x[:-1], np.diff(x)
        self.y0 = y[:-1]
        self.areas = 0.5 * self.width * (self.y0 + y[1:])
        self.cumulative = np.cumsum(self.areas)
        self.before = self.cumulative - self.areas
        self.slope = np.divide(y[1:] - self.y0, self.width, out=np.zeros(len(self.width)), where=self.width > 0)

    def quantiles(self, u: np.ndarray) -> np.ndarray:
        """The values whose cumulative probability is ``u`` (in [0, 1]): the
        exact inverse of the cumulative distribution, which is quadratic
        between two points."""
        target = np.asarray(u, np.float64) * self.cumulative[-1]
        # The interval holding each target; intervals of no area hold none.
        i = np.minimum(np.searchsorted(self.cumulative, target, side="right"), len(self.areas) - 1)
        rest = np.minimum(np.maximum(target - self.before[i], 0.0), self.areas[i])
        # Within the interval the area up to s is y0 s + slope s^2 / 2; its
        # root written as 2 r / (y0 + sqrt(y0^2 + 2 slope r)) stays exact
        # where the slope is zero and where y0 is zero.
        y0 = self.y0[i]
        denominator = y0 + np.sqrt(np.maximum(y0 * y0 + 2.0 * self.slope[i] * rest, 0.0))
        s = np.divide(2.0 * rest, denominator, out=np.zeros(len(i)), where=denominator > 0)
        return np.asarray(self.x0[i] + np.minimum(s, self.width[i]), np.float64)


def piecewise_linear_quantiles(u: np.ndarray, x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """The values whose cumulative probability is ``u`` under the
    piecewise-linear density of the points (x, y)."""
    return PiecewiseLinear(x, y).quantiles(u)


def afterpulses(seed: int, channel: int, parents: np.ndarray, probability: float,
                delay: PiecewiseLinear) -> tuple[np.ndarray, np.ndarray]:
    """The afterpulses of ``channel`` whose PE times are ``parents``: the
    index of each one's parent (increasing) and its time, the parent's time
    plus a delay drawn from ``delay``."""
    if probability <= 0 or len(parents) == 0:
        return np.zeros(0, np.int64), np.zeros(0, np.float64)
    rng = afterpulse_generator(seed, channel)
    spawned = np.flatnonzero(rng.random(len(parents)) < probability)
    return spawned.astype(np.int64), parents[spawned] + delay.quantiles(rng.random(len(spawned)))
