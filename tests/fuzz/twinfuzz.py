"""Seeded differential fuzz of each native module against its plain twin.

A target generates a case (plain data: tuples, lists, numbers, texts) from a
seeded random source, and runs it on one implementation, giving an outcome:
the value or the exception's type and text of every step, and the side
effects the step had, in order, as recorded by the proxies below (attribute
reads and writes, calls, SQL executed). A case diverges when the two
outcomes differ. A divergence is shrunk to a small case that still diverges
the same way, and each distinct one is reported once.

Case i of seed S is generated from its own random source, so any case can be
re-run alone from (S, i).
"""
import importlib
import math
import re
import random
import time

NATIVE_MODULES = {
    "security": "velmor_trader.core.security",
    "tollbook": "velmor_trader.gateways.futu.tollbook",
    "db": "velmor_trader.plugins.sqlite3.db",
    "metrics": "velmor_trader.plugins.analysis.metrics",
    "bot": "velmor_trader.plugins.telegram.bot",
    "celbridge": "velmor_trader.gateways.cqg.wrapper.celbridge",
}


def load_twin(name):
    """The plain twin of a native module."""
    return importlib.import_module("velmor_trader.twins." + name)


# ---------------------------------------------------------------------------
# Recording proxies: every observable thing done to them lands in one log.

class Log(list):
    def note(self, *event):
        self.append(event)


class Rec:
    """A duck-typed record: reads of its attributes (also missing ones) and
    writes are logged under its label."""

    def __init__(self, log, label, **attrs):
        object.__setattr__(self, "_rec", (log, label, dict(attrs)))

    def __getattribute__(self, name):
        log, label, attrs = object.__getattribute__(self, "_rec")
        log.note("get", label, name)
        if name in attrs:
            return attrs[name]
        if name == "__class__":
            return Rec
        raise AttributeError(f"{label} has no {name}")

    def __setattr__(self, name, value):
        log, label, attrs = object.__getattribute__(self, "_rec")
        log.note("set", label, name, show(value))
        attrs[name] = value

    def __hash__(self):
        log, label, _ = object.__getattribute__(self, "_rec")
        log.note("hash", label)
        return hash(label)

    def __repr__(self):
        return "<" + object.__getattribute__(self, "_rec")[1] + ">"


class Tok:
    """A value whose comparisons, hash and text form are logged; it compares
    equal to a Tok of the same value (or to the value itself)."""

    def __init__(self, log, label, value):
        self.log, self.label, self.value = log, label, value

    def __eq__(self, other):
        self.log.note("eq", self.label, show(other))
        return self.value == (other.value if isinstance(other, Tok) else other)

    def __ne__(self, other):
        self.log.note("ne", self.label, show(other))
        return self.value != (other.value if isinstance(other, Tok) else other)

    def __hash__(self):
        self.log.note("hash", self.label)
        return hash(self.value)

    def __format__(self, spec):
        self.log.note("format", self.label, spec)
        return format(self.value, spec)

    def __str__(self):
        self.log.note("str", self.label)
        return str(self.value)

    def __repr__(self):
        return "Tok(" + self.label + ")"


class Odd:
    """An object whose == gives neither True nor False, and whose truth
    fails: how far a caller goes before testing a comparison shows."""

    def __init__(self, log, label):
        self.log, self.label = log, label

    def __eq__(self, other):
        self.log.note("eq", self.label, show(other))
        return self

    def __hash__(self):
        self.log.note("hash", self.label)
        return hash(self.label)

    def __bool__(self):
        self.log.note("bool", self.label)
        raise ValueError("truth of " + self.label)

    def __repr__(self):
        return "Odd(" + self.label + ")"


def show(value):
    """A text for a value that is the same for either implementation's objects."""
    if isinstance(value, float) and math.isnan(value):
        return "nan"
    if isinstance(value, (Rec, Tok, Odd)):
        return repr(value)
    text = re.sub(r" at 0x[0-9a-f]+", "", repr(value))
    for name, module in NATIVE_MODULES.items():
        text = text.replace(module, "<" + name + ">").replace("velmor_trader.twins." + name,
                                                              "<" + name + ">")
    return type(value).__name__ + ":" + text


def failure(exc):
    return ("raise", type(exc).__name__, str(exc))


def attempt(fn, *args, **kwargs):
    """('ok', shown result) or ('raise', type, text)."""
    try:
        return ("ok", show(fn(*args, **kwargs)))
    except Exception as exc:  # every exception is part of the outcome
        return failure(exc)


# ---------------------------------------------------------------------------
# Running, comparing, shrinking.

class Target:
    """One module's fuzz: subclasses give generate() and run()."""
    name = None

    def __init__(self, native=None, twin=None):
        self.native = native if native is not None else importlib.import_module(NATIVE_MODULES[self.name])
        self.twin = twin if twin is not None else load_twin(self.name)

    def generate(self, rng):
        raise NotImplementedError

    def run(self, impl, case):
        raise NotImplementedError

    def outcomes(self, case):
        return self.run(self.native, case), self.run(self.twin, case)

    def diverges(self, case):
        native, twin = self.outcomes(case)
        return None if native == twin else (native, twin)

    def signature(self, case, native, twin):
        """What makes two divergences the same: where the outcomes first differ."""
        return (self.name, first_difference(native, twin))


def first_difference(a, b, depth=0):
    """A short description of where two outcomes first differ: the kinds of
    the two differing parts, or the first side effect only one side had."""
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)) and depth < 3:
        for x, y in zip(a, b):
            if x != y:
                return first_difference(x, y, depth + 1)
        longer = a if len(a) > len(b) else b
        extra = longer[min(len(a), len(b))]
        return ("only " + ("native" if longer is a else "twin"),
                extra[:3] if isinstance(extra, tuple) else type(extra).__name__)
    def kind(v):
        if isinstance(v, tuple) and v and v[0] == "raise":
            return ("raise", v[1])
        if isinstance(v, tuple) and v:
            return v[0] if isinstance(v[0], str) else type(v).__name__
        return type(v).__name__
    return (kind(a), kind(b))


SIMPLE = (0, 1, "", "a", None, 1.0, False)


def smaller(case):
    """Candidate simplifications of a case, smallest steps first: drop an
    item of a list, then replace a part by a simple value."""
    if isinstance(case, list):
        for i in range(len(case)):
            yield case[:i] + case[i + 1:]
    if isinstance(case, (list, tuple)):
        for i, part in enumerate(case):
            if i == 0 and isinstance(case, tuple) and isinstance(part, str):
                continue  # a step's or a spec's kind stays as it is
            for simpler in smaller(part):
                yield type(case)(list(case[:i]) + [simpler] + list(case[i + 1:]))
        return
    for simple in SIMPLE:
        if type(simple) is not type(case) or simple != case:
            if isinstance(case, str) and not isinstance(simple, str):
                continue  # names stay names
            yield simple


def shrink(target, case, signature, budget=300):
    """The smallest case found that diverges with the same signature."""
    tries = 0
    improved = True
    while improved and tries < budget:
        improved = False
        for candidate in smaller(case):
            tries += 1
            if tries > budget:
                break
            try:
                found = target.diverges(candidate)
            except Exception:  # a candidate the target cannot build
                continue
            if found and target.signature(candidate, *found) == signature:
                case = candidate
                improved = True
                break
    return case


class Report:
    def __init__(self, target, seed):
        self.target, self.seed = target, seed
        self.cases = 0
        self.seconds = 0.0
        self.divergent_cases = 0
        self.intended_cases = 0
        self.found = {}  # signature -> (case index, shrunk case, native, twin)

    @property
    def divergences(self):
        return list(self.found.values())

    def lines(self):
        out = [f"{self.target.name}: {self.cases} cases, seed {self.seed}, "
               f"{self.seconds:.1f} s, {self.divergent_cases} divergent "
               f"({self.intended_cases} intended), {len(self.found)} distinct"]
        for signature, (index, case, native, twin) in self.found.items():
            out.append(f"  case {index} of seed {self.seed}: {case!r}")
            out.append(f"    native: {native!r}")
            out.append(f"    twin:   {twin!r}")
        return out


def fuzz(target, cases=None, seed=0, seconds=None, intended=None, do_shrink=True):
    """Runs up to `cases` cases (or for `seconds`) from `seed`."""
    report = Report(target, seed)
    start = time.perf_counter()
    i = 0
    while (cases is None or i < cases) and (seconds is None or time.perf_counter() - start < seconds):
        case = target.generate(random.Random(f"{target.name}:{seed}:{i}"))
        found = target.diverges(case)
        if found:
            native, twin = found
            if intended and intended(target.name, case, native, twin):
                report.intended_cases += 1
            else:
                report.divergent_cases += 1
                signature = target.signature(case, native, twin)
                if signature not in report.found:
                    small = shrink(target, case, signature) if do_shrink else case
                    report.found[signature] = (i, small, *target.outcomes(small))
        i += 1
    report.cases = i
    report.seconds = time.perf_counter() - start
    return report
