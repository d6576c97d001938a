"""A million calls through the layer leave memory and reference counts as they were."""
import gc
import sys
import tracemalloc

CALLS = 1_000_000


def _growth(fn):
    for _ in range(1000):  # warm caches (interned names, free lists)
        fn()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(CALLS):
            fn()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


def test_function_and_method_calls_do_not_leak(t):
    w = t.Widget()
    payload = object()
    kwarg = {"z": payload}
    refs = [sys.getrefcount(o) for o in (payload, w, t.echo)]
    # Each call binds positionals, keywords, *args, **kwargs and defaults.
    assert _growth(lambda: t.echo(payload, 1, payload, flag=payload, **kwarg)) < 64 * 1024
    assert _growth(lambda: w.get(payload)) < 64 * 1024
    assert [sys.getrefcount(o) for o in (payload, w, t.echo)] == refs


def test_failing_calls_do_not_leak(t):
    payload = object()
    before = sys.getrefcount(payload)

    def bad():
        try:
            t.typed(payload)
        except TypeError:
            pass

    assert _growth(bad) < 64 * 1024
    assert sys.getrefcount(payload) == before


def test_attribute_sites_and_fast_paths_do_not_leak(t):
    payload = object()

    class Plain:
        pass

    class WithProperty:
        x = property(lambda self: payload, lambda self, value: None)

    plain, in_dict, prop = Plain(), Plain(), WithProperty()
    plain.x = in_dict.x = plain.y = payload
    in_dict.__dict__  # the instance's values now live in a dict
    missing = Plain()
    before = sys.getrefcount(payload)

    def reads_and_writes():
        for obj in (plain, in_dict, prop):
            t.read_x(obj)
            t.write_x(obj, payload)
            t.group_read_x(obj)
            t.group_write_x(obj, payload)
        t.swap_xy(plain, object(), payload)
        t.swap_xy(plain, payload, payload)      # drops the object put there
        try:
            t.read_x(missing)
        except AttributeError:
            pass
        t.truth(payload)
        t.cached_setting()

    assert _growth(reads_and_writes) < 64 * 1024
    assert sys.getrefcount(payload) == before
