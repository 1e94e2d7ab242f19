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


def public_gaps(module=tavo_ble):
    gaps = []
    for name in module.__all__:
        value = getattr(module, name)
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
    from tavo_ble import lsl  # without loading pylsl

    assert public_gaps(lsl) == []


def test_the_package_is_marked_typed():
    assert os.path.isfile(os.path.join(os.path.dirname(tavo_ble.__file__), "py.typed"))


def package_imports():
    """Module -> the package modules it imports (at the top or in a function)."""
    import ast

    root = os.path.dirname(tavo_ble.__file__)
    graph = {}
    for folder, _, files in os.walk(root):
        if os.path.basename(folder) == "tests":
            continue
        for name in files:
            if not name.endswith(".py"):
                continue
            path = os.path.join(folder, name)
            parts = ["tavo_ble"] + os.path.relpath(path, root)[:-3].split(os.sep)
            package = parts[:-1]
            module = ".".join(parts if parts[-1] != "__init__" else parts[:-1])
            deps = set()
            with open(path, encoding="utf-8") as f:
                tree = ast.parse(f.read())
            for node in ast.walk(tree):
                if isinstance(node, ast.ImportFrom) and node.level:
                    base = package[:len(package) - (node.level - 1)]
                    names = [node.module] if node.module else [a.name for a in node.names]
                    deps.update(".".join(base + n.split(".")) for n in names)
            graph[module] = deps
    return graph


def test_no_import_circle_and_one_native_layer():
    graph = package_imports()

    def reaches(start, goal, seen):
        for dep in graph.get(start, ()):
            if dep == goal or (dep not in seen and not seen.add(dep) and reaches(dep, goal, seen)):
                return True
        return False

    circles = [m for m in graph if reaches(m, m, set())]
    assert circles == []
    assert graph["tavo_ble.native"] == {"tavo_ble.errors"}
    # Only the native layer loads a library with ctypes.
    for module in graph:
        path = os.path.join(os.path.dirname(tavo_ble.__file__), *module.split(".")[1:])
        path = path + ".py" if os.path.isfile(path + ".py") else os.path.join(path, "__init__.py")
        with open(path, encoding="utf-8") as f:
            loads = "CDLL(" in f.read()
        assert loads == (module in ("tavo_ble.native", "tavo_ble.edflib")), module


def test_no_file_of_the_package_is_over_500_lines():
    root = os.path.dirname(tavo_ble.__file__)
    for folder, _, files in os.walk(root):
        for name in files:
            if name.endswith(".py"):
                with open(os.path.join(folder, name), encoding="utf-8") as f:
                    assert sum(1 for _ in f) <= 500, name
