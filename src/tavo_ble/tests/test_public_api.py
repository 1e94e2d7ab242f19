"""Every public name of tavo_ble has a docstring and type hints, and the
package says so to type checkers (py.typed)."""
import inspect
import os

import tavo_ble

# Dunder methods whose meaning is the language's own.
PROTOCOL = {"__enter__", "__exit__", "__iter__", "__len__", "__init__"}


def gaps_in(name, function):
    gaps = [] if inspect.getdoc(function) else ["%s: no docstring" % name]
    signature = inspect.signature(function)
    for parameter in signature.parameters.values():
        if parameter.name not in ("self", "cls") and parameter.annotation is parameter.empty:
            gaps.append("%s(%s): no type hint" % (name, parameter.name))
    if signature.return_annotation is signature.empty:
        gaps.append("%s: no return type" % name)
    return gaps


def public_gaps():
    gaps = []
    for name in tavo_ble.__all__:
        value = getattr(tavo_ble, name)
        if not inspect.isclass(value):
            if callable(value):
                gaps += gaps_in(name, value)
            continue
        if not inspect.getdoc(value):
            gaps.append("%s: no docstring" % name)
        for member, item in vars(value).items():
            if member.startswith("_") and member not in PROTOCOL or member in PROTOCOL - {"__init__"}:
                continue
            if isinstance(item, property):
                gaps += gaps_in("%s.%s" % (name, member), item.fget)
            elif isinstance(item, (classmethod, staticmethod)):
                gaps += gaps_in("%s.%s" % (name, member), item.__func__)
            elif inspect.isfunction(item) and member != "__init__":
                gaps += gaps_in("%s.%s" % (name, member), item)
    return gaps


def test_public_names_have_docstrings_and_type_hints():
    assert public_gaps() == []
    assert len(tavo_ble.__all__) > 10


def test_the_package_is_marked_typed():
    assert os.path.isfile(os.path.join(os.path.dirname(tavo_ble.__file__), "py.typed"))
