"""Cached attribute sites give exactly what Python's own attribute access gives.

Each scenario runs twice on fresh classes, once reading and writing `x`
through a native site (or an attribute group) and once in plain Python,
and the two transcripts (values, or exception types and texts, and what
the instances hold) must match. Scenarios warm the site first, so the fast path is the one tested
and the change that follows must be noticed.
"""
import pytest


def outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except Exception as e:  # the error itself is part of the result
        return (type(e).__name__, str(e))


def plain_class():
    class C:
        pass
    return C


def make(cls, **attrs):
    obj = cls()
    for name, value in attrs.items():
        setattr(obj, name, value)
    return obj


def s_plain(get, put):
    C = plain_class()
    objs = [make(C, x=i, y=-i) for i in range(3)]
    out = [outcome(get, o) for o in objs for _ in range(2)]
    out += [outcome(put, o, "new") for o in objs]
    out += [outcome(get, o) for o in objs]
    return out, [vars(o) for o in objs]


def s_missing_then_class_default(get, put):
    C = plain_class()
    a, b = make(C, x=1), C()
    out = [outcome(get, a), outcome(get, a), outcome(get, b)]   # AttributeError text
    C.x = "class default"
    out += [outcome(get, a), outcome(get, b), outcome(put, b, 5), outcome(get, b)]
    return out, [vars(a), vars(b)]


def s_property(get, put):
    class C:
        @property
        def x(self):
            return "from property"
    o = C()
    o.__dict__["x"] = "shadowed?"
    return [outcome(get, o), outcome(put, o, 1), outcome(get, o)], [vars(o)]


def s_getattr(get, put):
    class C:
        def __getattr__(self, name):
            return "computed " + name
    a, b = C(), make(C, x=3)
    return [outcome(get, a), outcome(get, b), outcome(put, a, 4), outcome(get, a)], [vars(a)]


def s_getattribute(get, put):
    class C:
        def __getattribute__(self, name):
            return "always " + name
    o = make(C, x=1)
    return [outcome(get, o), outcome(get, o)], []


def s_setattr(get, put):
    class C:
        def __setattr__(self, name, value):
            object.__setattr__(self, name, ("wrapped", value))
    o = C()
    out = [outcome(put, o, 1), outcome(get, o), outcome(put, o, 2), outcome(get, o)]
    p = type("D", (C,), {})()
    object.__setattr__(p, "x", 0)    # read first: the class reads generically
    out += [outcome(get, p), outcome(get, p), outcome(put, p, 3), outcome(get, p)]
    return out, [vars(o), vars(p)]


def s_descriptor_after_first_use(get, put):
    C = plain_class()
    objs = [make(C, x=i) for i in range(2)]
    out = [outcome(get, o) for o in objs] + [outcome(put, o, "w") for o in objs]
    C.x = property(lambda self: "now a property", lambda self, v: None)
    out += [outcome(get, o) for o in objs] + [outcome(put, o, "again") for o in objs]
    del C.x
    out += [outcome(get, o) for o in objs]
    return out, [vars(o) for o in objs]


def s_descriptor_on_base_after_first_use(get, put):
    Base = plain_class()

    class Sub(Base):
        pass
    o = make(Sub, x=1)
    out = [outcome(get, o), outcome(get, o)]
    Base.x = property(lambda self: "base property")
    out += [outcome(get, o), outcome(put, o, 2)]
    return out, [vars(o)]


def s_class_attribute_type_gains_set(get, put):
    class Marker:
        pass

    C = plain_class()
    C.x = Marker()
    o = make(C, x="instance")
    out = [outcome(get, o), outcome(get, o)]
    Marker.__get__ = lambda self, obj, owner=None: "marker get"
    Marker.__set__ = lambda self, obj, value: None
    out += [outcome(get, o), outcome(put, o, 9), outcome(get, o)]
    return out, [vars(o)]


def s_slots_subclass(get, put):
    Base = plain_class()

    class Slotted(Base):
        __slots__ = ("x",)
    plain, slotted, empty = make(Base, x=1), make(Slotted, x=2), Slotted()
    out = [outcome(get, o) for o in (plain, slotted, empty, plain)]
    out += [outcome(put, o, "s") for o in (slotted, empty)]
    out += [outcome(get, o) for o in (slotted, empty)]
    return out, [vars(plain), vars(slotted)]


def s_raising_access(get, put):
    class C:
        @property
        def x(self):
            raise ValueError("cannot read x")

        @x.setter
        def x(self, value):
            raise KeyError(value)
    o = C()
    return [outcome(get, o), outcome(put, o, "v"), outcome(get, o)], []


def s_deleted_and_materialised_dict(get, put):
    C = plain_class()
    a, b = make(C, x=1), make(C, x=2)
    out = [outcome(get, a), outcome(get, b)]
    del a.x
    out += [outcome(get, a), outcome(put, a, 3), outcome(get, a)]
    b.__dict__["x"] = "via dict"    # the instance's values now live in a dict
    out += [outcome(get, b), outcome(put, b, 4), outcome(get, b)]
    b.__dict__ = {"x": "replaced dict"}
    out += [outcome(get, b), outcome(put, b, 5), outcome(get, b)]
    return out, [vars(a), vars(b)]


def s_dict_shares_then_leaves_values(get, put):
    # Since 3.13 a dict made for an instance first shares its values; many
    # more names then move everything into the dict's own table.
    C = plain_class()
    a, b = make(C, x=1, y=2), make(C, x=1)
    out = [outcome(get, a), outcome(put, a, 0)]
    d = vars(a)
    out += [outcome(put, a, "through site"), d["x"]]
    d["x"] = "through dict"
    out += [outcome(get, a)]
    for i in range(40):
        setattr(b, f"n{i}", i)
        setattr(a, f"n{i}", i)
    out += [outcome(get, a), outcome(put, a, "after"), d["x"], outcome(get, b), outcome(put, b, 9)]
    return out, [vars(a), vars(b)]


def s_class_reassigned(get, put):
    A, B = plain_class(), plain_class()
    B.x = property(lambda self: "B's property")
    o = make(A, x=1)
    out = [outcome(get, o), outcome(get, o)]
    o.__class__ = B
    out += [outcome(get, o), outcome(put, o, 2)]
    o.__class__ = A
    out += [outcome(get, o), outcome(put, o, 3), outcome(get, o)]
    return out, [vars(o)]


def s_method_shadowed(get, put):
    class C:
        def x(self):
            return "method"
    a, b = C(), make(C, x="instance value")
    out = [outcome(get, b), outcome(get, b), outcome(lambda o: get(o)(), a)]
    out += [outcome(put, a, "set"), outcome(get, a)]
    return out, [vars(a), vars(b)]


def s_not_instances_of_classes(get, put):
    import types
    mod = types.ModuleType("m")
    mod.x = "module attribute"
    return [outcome(get, mod), outcome(get, 3), outcome(put, 3, 1), outcome(get, mod)], []


SCENARIOS = [s_plain, s_missing_then_class_default, s_property, s_getattr, s_getattribute,
             s_setattr, s_descriptor_after_first_use, s_descriptor_on_base_after_first_use,
             s_class_attribute_type_gains_set, s_slots_subclass, s_raising_access,
             s_deleted_and_materialised_dict, s_dict_shares_then_leaves_values, s_class_reassigned, s_method_shadowed,
             s_not_instances_of_classes]


PATHS = {"site": ("read_x", "write_x"), "one site both ways": ("shared_read_x", "shared_write_x"),
         "group": ("group_read_x", "group_write_x"), "read-only group": ("read_only_group_x", "write_x")}


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("scenario", SCENARIOS, ids=lambda s: s.__name__[2:])
def test_site_matches_python(t, scenario, path):
    read, write = (getattr(t, name) for name in PATHS[path])
    native = scenario(read, write)
    python = scenario(lambda o: o.x, lambda o, v: setattr(o, "x", v))
    assert native == python


# A group binds an object once for several names; what happens between two
# of its accesses (the old value's finaliser, here) must still be seen.

class Finaliser:
    """Runs `then` when the last reference to it goes."""
    def __init__(self, then):
        self.then = then

    def __del__(self):
        self.then()


def g_plain(swap):
    C = plain_class()
    objs = [make(C, x=i, y=-i) for i in range(3)]
    same = objs[0].y
    out = [outcome(swap, o, "a", "b") for o in objs] + [outcome(swap, objs[0], "a", same)]
    return out, [vars(o) for o in objs]


def g_second_name_missing(swap):
    C = plain_class()
    full, partial = make(C, x=1, y=2), make(C, x=1)
    return [outcome(swap, full, 3, 4), outcome(swap, partial, 3, 4)], [vars(full), vars(partial)]


def g_property_for_second_name(swap):
    C = plain_class()
    o = make(C, x=1, y=2)
    out = [outcome(swap, o, 3, 4)]
    C.y = property(lambda self: "property y", lambda self, v: self.__dict__.update(seen=v))
    out += [outcome(swap, o, 5, 6)]
    return out, [vars(o)]


def g_finaliser_turns_class_attribute_into_property(swap):
    C = plain_class()
    a, b = make(C, x=1, y=2), make(C, x=1, y=2)
    outcome(swap, a, 0, 0)      # warm the group on the class
    log = []
    C_y = property(lambda self: "property y", lambda self, v: log.append(("set y", v)))
    b.x = Finaliser(lambda: setattr(C, "y", C_y))
    out = [outcome(swap, b, "new x", "new y"), log]
    return out, [vars(b)]


def g_finaliser_changes_class(swap):
    A = plain_class()

    class B:
        def __setattr__(self, name, value):
            object.__setattr__(self, name, ("B", value))
    o = make(A, x=1, y=2)
    outcome(swap, make(A, x=0, y=0), 0, 0)
    o.x = Finaliser(lambda: setattr(o, "__class__", B))
    return [outcome(swap, o, "x", "y"), type(o).__name__], [vars(o)]


def g_finaliser_makes_dict_or_deletes(swap):
    C = plain_class()
    a, b = make(C, x=1, y=2), make(C, x=1, y=2)
    outcome(swap, make(C, x=0, y=0), 0, 0)
    a.x = Finaliser(lambda: a.__dict__)            # values move into a dict
    b.x = Finaliser(lambda: delattr(b, "y"))
    return [outcome(swap, a, "x", "y"), outcome(swap, b, "x", "y")], [vars(a), vars(b)]


GROUP_SCENARIOS = [g_plain, g_second_name_missing, g_property_for_second_name,
                   g_finaliser_turns_class_attribute_into_property, g_finaliser_changes_class,
                   g_finaliser_makes_dict_or_deletes]


def python_swap(o, a, b):
    o.x
    o.x = a
    y = o.y
    o.y = b
    return y


@pytest.mark.parametrize("scenario", GROUP_SCENARIOS, ids=lambda s: s.__name__[2:])
def test_group_matches_python(t, scenario):
    assert scenario(t.swap_xy) == scenario(python_swap)


def test_cached_global_follows_changes(t):
    assert t.cached_setting() == 1
    t.SETTING = 2
    assert t.cached_setting() == 2
    del t.SETTING
    try:
        import builtins
        builtins.SETTING = "builtin"
        assert t.cached_setting() == "builtin"
        del builtins.SETTING
        with pytest.raises(NameError, match="name 'SETTING' is not defined"):
            t.cached_setting()
    finally:
        t.SETTING = 1


@pytest.mark.parametrize("value, expected", [(0, False), ([], False), ("x", True), (2.5, True)])
def test_positional_fast_path_converts(t, value, expected):
    assert t.truth(value) is expected
    assert t.truth(flag=value) is expected


def test_positional_fast_path_reports_conversion_errors(t):
    class Bad:
        def __bool__(self):
            raise RuntimeError("no truth")
    with pytest.raises(RuntimeError, match="no truth"):
        t.truth(Bad())
    with pytest.raises(TypeError, match=r"truth\(\) takes 1 positional argument but 2 were given"):
        t.truth(1, 2)


@pytest.mark.parametrize("args, kwargs, expected", [
    ((1.9,), {}, (1, ())),
    ((True, "b", None), {}, (1, ("b", None))),
    ((), {"a": 2.0}, (2, ())),
])
def test_positional_star_fast_path_binds_like_python(t, args, kwargs, expected):
    result = t.gather(*args, **kwargs)
    assert result == expected and type(result[0]) is int


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, r"gather\(\) missing 1 required positional argument: 'a'"),
    (("x",), {}, r"Argument 'a' has incorrect type \(expected int, got str\)"),
    ((1,), {"a": 2}, r"gather\(\) got multiple values for argument 'a'"),
])
def test_positional_star_fast_path_errors(t, args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        t.gather(*args, **kwargs)
