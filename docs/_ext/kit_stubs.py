"""Signatures and types of the kit's members, read from the .pyi stubs beside each module.

The kit's modules are compiled: what they tell at run time is their members, their
parameter names and defaults, and their docstrings, but no types. The stubs carry the
types (tools/stubs.py writes them from the build and checks them against it), so
autodoc documents what the build has, and this extension gives each member the
signature and types its stub declares. Instance attributes exist only once an object
is built: they are listed from the stub's class body.
"""

import ast
import importlib.util
import pathlib
import re

_stubs = {}


def _stub_path(module_name):
    try:
        found = importlib.util.find_spec(module_name)
    except (ImportError, ValueError):
        return None
    if found is None or not found.origin:
        return None
    path = pathlib.Path(found.origin).parent / (module_name.rpartition(".")[2] + ".pyi")
    return path if path.exists() else None


def _table(module_name):
    """{qualified name: (kind, node, owner)} of one stub; empty when the module has none."""
    if module_name not in _stubs:
        table = {}
        path = _stub_path(module_name)
        if path is not None:
            _walk(ast.parse(path.read_text(encoding="utf-8")).body, module_name, None, table)
        _stubs[module_name] = table
    return _stubs[module_name]


def _walk(body, prefix, owner, table):
    for node in body:
        if isinstance(node, ast.FunctionDef):
            table[f"{prefix}.{node.name}"] = ("function", node, owner)
        elif isinstance(node, ast.ClassDef):
            table[f"{prefix}.{node.name}"] = ("class", node, owner)
            _walk(node.body, f"{prefix}.{node.name}", node, table)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            table[f"{prefix}.{node.target.id}"] = ("attribute", node, owner)


def lookup(name):
    """The stub entry of a dotted name, found under the longest module prefix that has a stub."""
    parts = name.split(".")
    for end in range(len(parts) - 1, 0, -1):
        module_name = ".".join(parts[:end])
        if _stub_path(module_name) is not None:
            return _table(module_name).get(name)
    return None


def _decorators(node):
    return {ast.unparse(d) for d in node.decorator_list}


def _without_first(args):
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    positional, defaults = positional[1:], defaults[1:]
    only = max(len(args.posonlyargs) - 1, 0)
    return ast.arguments(
        posonlyargs=positional[:only],
        args=positional[only:],
        vararg=args.vararg,
        kwonlyargs=args.kwonlyargs,
        kw_defaults=args.kw_defaults,
        kwarg=args.kwarg,
        defaults=[d for d in defaults if d is not None],
    )


def signature_of(node, owner):
    """(parameters text, return annotation text) of a stub function."""
    args = node.args
    if owner is not None and ("staticmethod" not in _decorators(node) or node.name == "__new__"):
        args = _without_first(args)  # self or cls: never written by a caller
    returns = ast.unparse(node.returns) if node.returns is not None else None
    return f"({ast.unparse(args)})", returns


def process_signature(app, what, name, obj, options, signature, return_annotation):
    if what not in ("function", "method", "class", "exception"):
        return None
    entry = lookup(f"{name}.__init__" if what in ("class", "exception") else name)
    if entry is None or entry[0] != "function":
        return None
    params, returns = signature_of(entry[1], entry[2])
    return params, (None if what in ("class", "exception") else returns)


def property_type(name):
    entry = lookup(name)
    if entry is not None and entry[0] == "function" and entry[1].returns is not None:
        return ast.unparse(entry[1].returns)
    if entry is not None and entry[0] == "attribute":
        return ast.unparse(entry[1].annotation)
    return None


# The kit's docstrings are plain text: a name ending in "_" (in_, is_) is no link target.
_TRAILING_UNDERSCORE = re.compile(r"\b(\w+)_(?=\W|$)")
# The kit's own types by their class name, as the signatures show them.
_KIT_NAME = re.compile(r"\bzentaro(?:\.\w+)*\.(\w+)")


def process_docstring(app, what, name, obj, options, lines):
    """Adds the stub's type to properties and attributes, and a class's instance attributes."""
    lines[:] = [_TRAILING_UNDERSCORE.sub(r"\1\\_", line) for line in lines]
    if what in ("attribute", "data") and getattr(obj, "__doc__", None) == type(obj).__doc__:
        lines.clear()  # an object's docstring is its class's: said on the class's entry
    if what in ("property", "attribute", "data"):
        annotation = property_type(name)
        if annotation and not any(line.startswith(":type:") for line in lines):
            shown = _KIT_NAME.sub(r"\1", annotation)
            lines += ["", f":Type: ``{shown}``"]
        return
    if what != "class":
        return
    entry = lookup(name)
    if entry is None:
        return
    instance = [
        node
        for node in entry[1].body
        if isinstance(node, ast.AnnAssign)
        and node.value is None
        and isinstance(node.target, ast.Name)
        and not node.target.id.startswith("_")
        and not hasattr(obj, node.target.id)
    ]
    if instance:
        lines += ["", ".. rubric:: Instance attributes", ""]
        for node in instance:
            lines += [
                f".. py:attribute:: {node.target.id}",
                f"   :type: {ast.unparse(node.annotation)}",
                "",
            ]


def setup(app):
    app.connect("autodoc-process-signature", process_signature)
    app.connect("autodoc-process-docstring", process_docstring)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
