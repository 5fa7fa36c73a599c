"""Fits a body's design at one sample rate to its 44000 Hz magnitude response.

A design at rate R keeps the body's cascade: its stages' poles come from
each stage's f and Q by the formulas that gave the 44000 Hz tables, now at R,

    A = exp(-2 pi f / (Q R)),   B = -(1 + A) cos(2 pi f / R),

and the numerators 1 - k z^-1 + d z^-2 after each stage, with the gain, are
fitted by least squares to the 44000 Hz body's magnitude in decibels. A
stage whose resonance lies above 0.47 R cannot exist at R: it keeps only its
numerator (no poles), so nothing folds. Above 60 kHz the 44000 Hz body's
steep fall towards 22 kHz needs more zeros than the body has: two or three
sections of zeros alone are added, as many as the kernels' state holds.
Where that is not close enough, and between 20 and 36 kHz, the poles are
fitted too (fit()).
"""

import numpy as np
from scipy.optimize import least_squares

from bodies import TUNED_RATE, lane_form, numerators, response

LOWEST_HZ = 20.0


def band_top(rate):
    """The highest frequency the design is held to at `rate`."""
    return min(20000.0, 0.47 * rate)


MOST_SECTIONS = 10  # what the kernels' state holds


def extra_sections(body, rate):
    extra = 3 if rate > 150000 else 2 if rate > 60000 else 0
    return min(extra, MOST_SECTIONS - len(body["stages"]))


def fits_poles(rate):
    return 20000 < rate < 36000


def stable(sections):
    return all(abs(a) < 1 and abs(b) < 1 + a for a, b, _, _ in sections)


def pole_formulas(f, q, rate):
    a = np.exp(-2 * np.pi * f / (q * rate))
    return a, -(1 + a) * np.cos(2 * np.pi * f / rate)


def grid(body, rate):
    """Frequencies to fit at: log-spaced, denser around every resonance."""
    top = band_top(rate)
    hz = [np.geomspace(LOWEST_HZ, top, 400)]
    for _, _, f, q in body["stages"]:
        if f < top:
            width = f / q
            hz.append(np.linspace(max(LOWEST_HZ, f - 4 * width), min(top, f + 4 * width), 41))
    return np.unique(np.concatenate(hz))


class Model:
    """The design as a parameter vector: the log of the gain, the free
    numerator coefficients, and for a fit of the poles A and B per resonant
    stage.

    The body's 1 - z^-2 numerators are regrouped, which leaves their product
    as it is: their zeros at 0 Hz in pairs, (1 - z^-1)^2, held fixed so that
    every design blocks DC exactly as the body does, and their zeros at half
    the rate in pairs, (1 + z^-1)^2, free to move as a pair of complex zeros
    towards where the body's zeros at 22 kHz lie at this rate. An odd one
    out is (1 - z^-1)(1 - c z^-1) with c free. The notches start where the
    body has them, and the added sections as zeros at half the rate.
    """

    def __init__(self, body, rate, poles_free=False):
        self.body, self.rate = body, rate
        self.resonant = [f < 0.47 * rate for _, _, f, _ in body["stages"]]
        self.count = len(body["stages"]) + extra_sections(body, rate)
        self.poles_free = poles_free
        kinds = numerators(body)
        plain = sum(1 for kind in kinds if kind[0] == "difference")
        slots = [("fixed",)] * (plain // 2) + [("pair",)] * (plain // 2)
        slots += [("odd",)] * (plain % 2)
        # slots: ("fixed",) (1 - z^-1)^2; ("pair",) free (d, k) from (1, -2);
        # ("odd",) (1 - z^-1)(1 - c z^-1); ("free", d, k) free from (d, k).
        self.slots = []
        for kind in kinds:
            if kind[0] == "difference":
                self.slots.append(slots.pop(0))
            elif kind[0] == "double zero":
                self.slots.append(("free", 1.0, -2.0))
            else:
                d = 1.0 if kind[0] == "notch" else kind[1]
                self.slots.append(("free", d, 2 * np.cos(2 * np.pi * kind[-1] / rate)))
        self.slots += [("free", 1.0, -2.0)] * extra_sections(body, rate)

    def initial(self):
        p = [np.log(self.body["gain"])]
        for slot in self.slots:
            if slot[0] == "pair":
                p += [1.0, -2.0]
            elif slot[0] == "odd":
                p += [-1.0]
            elif slot[0] == "free":
                p += [slot[1], slot[2]]
        if self.poles_free:
            for (_, _, f, q), on in zip(self.body["stages"], self.resonant):
                if on:
                    p += list(pole_formulas(f, q, self.rate))
        return np.array(p)

    def sections(self, p):
        """The gain and (a, b, d, k) per section, in the order they run."""
        values = iter(p[1:])
        numerators_dk = []
        for slot in self.slots:
            if slot[0] == "fixed":
                numerators_dk.append((1.0, 2.0))
            elif slot[0] == "odd":
                c = next(values)
                numerators_dk.append((c, 1.0 + c))
            else:
                d = next(values)
                numerators_dk.append((d, next(values)))
        out = []
        for i in range(self.count):
            a = b = 0.0
            if i < len(self.body["stages"]) and self.resonant[i]:
                _, _, f, q = self.body["stages"][i]
                if self.poles_free:
                    a, b = next(values), next(values)
                else:
                    a, b = pole_formulas(f, q, self.rate)
            out.append((a, b) + numerators_dk[i])
        return np.exp(p[0]), out


def design_response(g, sections, dry, hz, rate):
    w = np.exp(-2j * np.pi * np.asarray(hz, dtype=float) / rate)
    h = np.full(w.shape, g, dtype=complex)
    for a, b, d, k in sections:
        h *= (1 - k * w + d * w * w) / (1 + b * w + a * w * w)
    return h * 0.5 + 0.0001 if dry else h


def db(h):
    return 20 * np.log10(np.maximum(np.abs(h), 1e-30))


def fit(body, rate):
    """(gain, sections) of the body at `rate`: the numerators on the poles of
    the formulas; then, between 20 and 36 kHz (where the formulas bend a
    resonance near half the rate) and wherever the numerators alone leave
    more than 0.05 dB, the poles freed as well, kept if stable and closer."""
    model = Model(body, rate)
    p = solve(body, rate, model, model.initial())
    best = model.sections(p)
    if fits_poles(rate) or error_db(body, rate, *best) > 0.05:
        freed = Model(body, rate, poles_free=True)
        start = np.concatenate([p, freed.initial()[len(p):]])
        candidate = freed.sections(solve(body, rate, freed, start))
        if stable(candidate[1]) and error_db(body, rate, *candidate) < error_db(body, rate, *best):
            best = candidate
    return best


def solve(body, rate, model, start):
    hz = grid(body, rate)
    target = db(response(body, hz))
    peak = target.max()
    # Where the body is within 40 dB of its peak counts fully, below that less.
    weight = np.where(target > peak - 40, 1.0, np.where(target > peak - 60, 0.3, 0.05))
    # Above the band the design may not rise over the body's level at the top.
    above = np.linspace(band_top(rate), 0.5 * rate, 60)
    ceiling = max(target[-1], peak - 40)
    below = np.geomspace(1.0, LOWEST_HZ, 20)
    floor_cap = np.maximum(db(response(body, below)), peak - 70) + 3

    floor = peak - 70  # deeper than this, a notch is a notch
    clipped = np.maximum(target, floor)

    # The gain first: where the body is within 40 dB of its peak, the design
    # starts at its level on average.
    start = np.array(start, dtype=float)
    g, sections = model.sections(start)
    inside = target > peak - 40
    start[0] -= np.mean(db(design_response(g, sections, body["dry"], hz, rate))[inside]
                        - target[inside]) * np.log(10) / 20

    # The search tries wild steps too; their overflows only make them worse.
    @np.errstate(all="ignore")
    def residuals(p):
        g, sections = model.sections(p)
        level = db(design_response(g, sections, body["dry"], hz, rate))
        level = np.where(target > floor, level, np.maximum(level, floor))
        r = weight * (level - clipped)
        up = np.maximum(0, db(design_response(g, sections, body["dry"], above, rate)) - ceiling)
        low = np.maximum(0, db(design_response(g, sections, body["dry"], below, rate)) - floor_cap)
        return np.concatenate([r, up, low])

    return least_squares(residuals, start, method="lm", max_nfev=4000).x


def smoothed_errors_db(body, rate, g, sections, highest=18000.0):
    """Per 1/6-octave band from 40 Hz to `highest` or 0.45 of the rate: the
    band's centre, the body's mean level in it and the design's, in dB (the
    mean of the power, evenly in Hz), where the body is within 40 dB of its
    strongest band."""
    top = min(highest, 0.45 * rate)
    centres = np.geomspace(40, top, 240)
    sixth = 2 ** (1 / 12)
    hz = np.linspace(centres / sixth, centres * sixth, 200)  # one column per band
    want = 10 * np.log10(np.mean(np.abs(response(body, hz)) ** 2, axis=0) + 1e-300)
    got = design_response(g, sections, body["dry"], hz, rate)
    got = 10 * np.log10(np.mean(np.abs(got) ** 2, axis=0) + 1e-300)
    keep = want > want.max() - 40
    return centres[keep], want[keep], got[keep]


def error_db(body, rate, g, sections, highest=18000.0):
    """The largest smoothed error, in dB (smoothed_errors_db)."""
    _, want, got = smoothed_errors_db(body, rate, g, sections, highest)
    return np.max(np.abs(got - want))
