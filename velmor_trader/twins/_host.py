"""The argument rules the native modules' shared layer applies on entry,
written once for the twins.

A parameter annotated str, list or dict takes exactly that type (None too
where its default is None); int and float take any number and convert it;
bool takes the truth value.  Anything else fails with the host's text,
naming the type as the host names it: with its module for a type defined in
C ("numpy.float64"), by its name for any other.
"""

_HEAP_TYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE: a class made by a class statement


def type_name(value):
    """The host's name for the type of value (its tp_name)."""
    t = type(value)
    if t.__flags__ & _HEAP_TYPE or t.__module__ == "builtins":
        return t.__name__
    return t.__module__ + "." + t.__name__


def incorrect_type(name, expected, value):
    return TypeError("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
                     % (name, expected, type_name(value)))


def _is_number(value):
    # What the host counts as a number: a type with __index__, __int__ or
    # __float__, or a complex.
    t = type(value)
    return (hasattr(t, "__index__") or hasattr(t, "__int__") or hasattr(t, "__float__")
            or isinstance(value, complex))


def exact(value, name, expected, none_ok=False):
    """value itself when its type is exactly `expected` (or None is allowed)."""
    if type(value) is expected or (none_ok and value is None):
        return value
    raise incorrect_type(name, expected.__name__, value)


def to_int(value, name):
    if type(value) is int:
        return value
    if _is_number(value) and not isinstance(value, str):
        return int(value)
    raise incorrect_type(name, "int", value)


def to_float(value, name):
    if type(value) is float:
        return value
    t = type(value)
    if hasattr(t, "__float__") or hasattr(t, "__index__"):
        return float(value)
    raise incorrect_type(name, "float", value)


def _functions_of(member):
    if isinstance(member, property):
        return [f for f in (member.fget, member.fset, member.fdel) if f is not None]
    if isinstance(member, (staticmethod, classmethod)):
        return [member.__func__]
    return [member] if callable(member) and hasattr(member, "__code__") else []


def at_module_level(cls):
    """cls, made inside a function so that its methods reach the twin's
    helpers as closure cells, named as if written at the top of its module:
    its qualified name and its functions'."""
    cls.__qualname__ = cls.__name__
    for member in vars(cls).values():
        for function in _functions_of(member):
            while function is not None:  # a decorated method: the wrapper and what it wraps
                function.__qualname__ = cls.__name__ + "." + function.__name__
                function = getattr(function, "__wrapped__", None)
    return cls
