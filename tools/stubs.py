"""Write (or check) the typed .pyi stubs of the kit's extension modules.

python tools/stubs.py                  # check: fail when a committed stub is out of date
python tools/stubs.py --write          # rewrite every stub beside its module
python tools/stubs.py MODULE ...       # only these modules (with or without --write)

The members, their parameter lists, defaults and docstrings come from the build;
only the annotations come from the hand-written table in tools/stub_types.py. A
table entry that types a parameter the build lacks, or leaves one untyped, stops
the run, so the types are checked against the modules as built. A member the table
does not know gets an untyped def (and a warning), so a new method shows up
instead of vanishing.
"""

import argparse
import ast
import enum
import importlib
import inspect
import pathlib
import re
import sys

from nanobind.stubgen import StubGen

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from stub_types import ATTRIBUTES, TYPES  # noqa: E402

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"

MODULES = [
    line.split()[0]
    for line in (pathlib.Path(__file__).resolve().parent / "kit_modules.txt")
    .read_text()
    .splitlines()
    if line.strip() and not line.startswith("#")
]

TYPING_NAMES = {"Any", "ClassVar", "Literal", "Self", "TypeAlias"}
ABC_NAMES = {"Callable", "Iterable", "Iterator", "Mapping", "Sequence"}
# Function objects of home-made types (older builds) that a stub cannot name.
CALLABLE_TYPES = ("logtime_function", "_CFunction")
# Class internals that are no part of a class's interface.
CLASS_INTERNALS = {"__abstractmethods__", "_abc_impl", "__signature__", "__text_signature__"}


class TableError(Exception):
    """The type table disagrees with the build."""


def stub_path(name):
    return SRC.joinpath(*name.split(".")).with_suffix(".pyi")


def warn(text):
    print(f"stubs: {text}", file=sys.stderr)


# ---- what the build says about a function ----------------------------------------


def is_kit_function(obj):
    tp = type(obj)
    return tp.__name__ == "function" and tp.__module__ == "zentaro"


def is_nb_function(obj):
    tp = type(obj)
    return tp.__module__ == "nanobind" and tp.__name__ in ("nb_func", "nb_method")


def is_callable_member(obj):
    """A function of any kind the kit makes (kit, nanobind or a home-made type)."""
    if is_kit_function(obj) or is_nb_function(obj):
        return True
    return callable(obj) and not isinstance(obj, type)


def unwrap(value):
    """(decorator, function) of a class or module member."""
    if isinstance(value, classmethod):
        return "classmethod", value.__func__
    if isinstance(value, staticmethod):
        return "staticmethod", value.__func__
    if isinstance(value, property):
        return "property", value.fget
    return None, value


def docstring(fn):
    if is_nb_function(fn):
        return fn.__nb_signature__[0][1]
    doc = getattr(fn, "__doc__", None)
    # A home-made function type without a docstring of its own shows its type's;
    # a binding's generated docstring only restates its untyped signature.
    if doc and (doc is getattr(type(fn), "__doc__", None) or SIGNATURE_DOC.match(doc)):
        return None
    return doc


SIGNATURE_DOC = re.compile(r"\s*\w+\(.*\)( -> .*)?\s*$")


EMPTY = inspect.Parameter.empty
KINDS = inspect.Parameter


def _nb_parameters(fn):
    sigs = fn.__nb_signature__
    if len(sigs) != 1:
        return None
    text, _doc, defaults = sigs[0]
    text = re.sub(r"\\=?(\d+)", lambda m: f"__default_{m.group(1)}__", text)
    line = text.split("\n")[-1].replace("def (", "def _(", 1)
    head = ast.parse(line + ": ...").body[0]
    params = _ast_parameters(head.args)
    out = []
    for name, kind, default in params:
        if isinstance(default, ast.Name) and default.id.startswith("__default_"):
            default = defaults[int(default.id.split("_")[3])]
        out.append((name, kind, default))
    return out


def _ast_parameters(args):
    def value(node):
        if node is None:
            return EMPTY
        return node if isinstance(node, ast.Name) else ast.literal_eval(node)

    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    out = []
    for i, arg in enumerate(positional):
        kind = KINDS.POSITIONAL_ONLY if i < len(args.posonlyargs) else KINDS.POSITIONAL_OR_KEYWORD
        out.append((arg.arg, kind, value(defaults[i])))
    if args.vararg:
        out.append((args.vararg.arg, KINDS.VAR_POSITIONAL, EMPTY))
    for arg, default in zip(args.kwonlyargs, args.kw_defaults, strict=True):
        out.append((arg.arg, KINDS.KEYWORD_ONLY, value(default)))
    if args.kwarg:
        out.append((args.kwarg.arg, KINDS.VAR_KEYWORD, EMPTY))
    return out


def runtime_parameters(fn):
    """[(name, kind, default)] as the build declares them, or None when it cannot say."""
    if is_nb_function(fn):
        return _nb_parameters(fn)
    try:
        sig = inspect.signature(fn)
    except (TypeError, ValueError):
        # A descriptor around a function (lazy_property) tells its function's.
        wrapped = getattr(fn, "__wrapped__", None) if _is_decorated(fn) else None
        return runtime_parameters(wrapped) if wrapped is not None else None
    return [(p.name, p.kind, p.default) for p in sig.parameters.values()]


# ---- what the table says ---------------------------------------------------------


def is_function_entry(value):
    return isinstance(value, dict)


def _default_text(default):
    return ast.unparse(default) if isinstance(default, ast.AST) else repr(default)


def _is_decorated(fn):
    try:
        return getattr(fn, "__wrapped__", None) is not None
    except Exception:  # an object whose attribute lookup fails is no wrapper
        return False


def _forwards_everything(params):
    return bool(params) and all(
        kind in (KINDS.VAR_POSITIONAL, KINDS.VAR_KEYWORD) for _, kind, _ in params
    )


def built_parameters(key, fn, parent, name, decorator=None):
    """[(name, kind, default)] of fn as built; the receiver (self/cls) an ordinary parameter."""
    built = runtime_parameters(fn)
    if built is None:
        raise TableError(f"{key}: the build does not tell its parameters")
    if isinstance(parent, type) and built and built[0][0] in ("self", "cls"):
        receiver = (
            "cls" if decorator == "classmethod" else built[0][0],
            KINDS.POSITIONAL_OR_KEYWORD,
            EMPTY,
        )
        if name == "__init__" and _forwards_everything(built[1:]):
            # A slot's wrapper: the class's signature says what the constructor takes.
            built = [(p.name, p.kind, p.default) for p in _class_parameters(parent)]
        else:
            built = built[1:]
        built = [receiver, *built]
    if _forwards_everything(built):
        raise TableError(f"{key}: the build forwards every argument; no parameters to type")
    return built


def _class_parameters(cls):
    try:
        return list(inspect.signature(cls).parameters.values())
    except (TypeError, ValueError):
        return []


def typed_parameters(key, types, fn, parent, name, decorator=None):
    """[(name, kind, default, annotation)]: the build's parameters, the table's types.

    `types` maps each parameter to its annotation ("return" the result's); self and
    cls go untyped. A decorator's wrapper may take keywords of its own, which the
    build cannot show: the table gives them as "type = default", keyword-only.
    """
    built = built_parameters(key, fn, parent, name, decorator)
    receiver = isinstance(parent, type) and built and built[0][0] in ("self", "cls")
    typed = built[1:] if receiver else built
    names = {p[0] for p in typed}
    given = {k: v for k, v in types.items() if k not in ("return", "@property", "#")}
    missing = [n for n in (p[0] for p in typed) if n not in given]
    extra = [n for n in given if n not in names]
    if missing or (extra and not _is_decorated(fn)):
        raise TableError(
            f"{key}: the build takes {_describe(built)}; the table types "
            f"({', '.join(given)}); fix tools/stub_types.py"
        )
    out = [(n, kind, default, given[n]) for n, kind, default in typed]
    for n in extra:
        annotation, sep, default = given[n].partition(" = ")
        if not sep:
            raise TableError(f'{key}: a wrapper\'s keyword {n} needs "type = default"')
        out.append((n, KINDS.KEYWORD_ONLY, ast.parse(default, mode="eval").body, annotation))
    out.sort(key=lambda p: p[1] is KINDS.VAR_KEYWORD)  # **kwargs stays last
    return ([(*built[0], None)] if receiver else []) + out


def render_parameters(params):
    """The text between a def's parentheses."""
    out = []
    star = False
    for i, (name, kind, default, annotation) in enumerate(params):
        if i and params[i - 1][1] is KINDS.POSITIONAL_ONLY and kind is not KINDS.POSITIONAL_ONLY:
            out.append("/")
        if kind is KINDS.KEYWORD_ONLY and not star:
            out.append("*")
        star = star or kind in (KINDS.KEYWORD_ONLY, KINDS.VAR_POSITIONAL)
        text = {KINDS.VAR_POSITIONAL: "*", KINDS.VAR_KEYWORD: "**"}.get(kind, "") + name
        if annotation is not None:
            text += f": {annotation}"
        if default is not EMPTY:
            text += (" = " if annotation is not None else "=") + _default_text(default)
        out.append(text)
    if params and params[-1][1] is KINDS.POSITIONAL_ONLY:
        out.append("/")
    return ", ".join(out)


def _describe(params):
    stars = {KINDS.VAR_POSITIONAL: "*", KINDS.VAR_KEYWORD: "**"}
    text = []
    for name, kind, default in params:
        item = stars.get(kind, "") + name
        if kind is KINDS.KEYWORD_ONLY:
            item = "kw:" + item
        if kind is KINDS.POSITIONAL_ONLY:
            item += "/"
        if default is not EMPTY:
            item += f"={_default_text(default)}"
        text.append(item)
    return "(" + ", ".join(text) + ")"


# ---- the generator ---------------------------------------------------------------


class TypedStubGen(StubGen):
    """nanobind's stub generator, with kit functions and the type table."""

    def __init__(self, module, table=TYPES, attributes=ATTRIBUTES):
        # Private members are part of the documented interface here (_get_token,
        # _request, _encode ...), and names such as in_ end with an underscore.
        super().__init__(module, include_docstrings=True, include_private=True)
        self.table = {k: v for k, v in table.items() if k.startswith(module.__name__ + ".")}
        self.attributes = attributes
        self.used = set()

    # -- dispatch

    def put(self, value, name=None, parent=None):
        if name is None or value in self.stack:
            return super().put(value, name, parent)
        key = f"{self.prefix}.{name}"
        if self._skipped(value, name, parent, key):
            return
        if isinstance(parent, enum.EnumMeta) and isinstance(value, parent):
            # A member: its docstring would only repeat the class's.
            self.write_ln(f"{name} = {self.expr_str(value.value) or '...'}\n")
            return
        if isinstance(parent, type) and self._is_foreign_class(value, name, parent):
            # A class defined at module level, also a class attribute (TradeAPI.SIDE).
            self.write_ln(f"{name} = {value.__qualname__}\n")
            return
        decorator, fn = unwrap(value)
        if (
            is_kit_function(fn)
            and inspect.ismodule(parent)
            and fn.__module__ != self.module.__name__
        ):
            # Another module's function, imported here: the stub imports it too.
            return super().put(value, name, parent)
        text = self.table.get(key)
        if is_function_entry(text) and (
            decorator or is_callable_member(fn) or text.get("@property")
        ):
            self.used.add(key)
            return self._put_typed_function(key, name, parent, decorator, fn, text)
        if text is not None and not is_function_entry(text):
            self.used.add(key)
            return self._put_typed_value(name, value, text)
        if is_kit_function(fn):
            warn(f"{key} is not in the type table: untyped")
            return self._put_untyped_kit_function(name, parent, decorator, fn)
        if is_nb_function(fn):
            warn(f"{key} is not in the type table: typed as the binding says")
        elif type(fn).__name__ in CALLABLE_TYPES:
            warn(f"{key} is not in the type table: a callable")
            callable_type = self.import_object("collections.abc", "Callable")
            return self.write_ln(f"{name}: {callable_type}[..., object]\n")
        return super().put(value, name, parent)

    def is_function(self, tp):
        return super().is_function(tp) or (tp.__name__ == "function" and tp.__module__ == "zentaro")

    def _skipped(self, value, name, parent, key):
        if key in self.table and self.table[key] is None:
            self.used.add(key)
            return True
        if name in CLASS_INTERNALS and isinstance(parent, type):
            return True
        # The enumeration machinery's own attributes (_member_map_, __new__ ...).
        if isinstance(parent, enum.EnumMeta):
            sunder = name.startswith("_") and name.endswith("_") and not name.startswith("__")
            return sunder or name == "__new__"
        return False

    def _is_foreign_class(self, value, name, parent):
        return (
            isinstance(value, type)
            and value.__module__ == self.module.__name__
            and value.__qualname__ != f"{parent.__qualname__}.{name}"
            and getattr(self.module, value.__qualname__, None) is value
        )

    def put_type(self, tp, name):
        super().put_type(tp, name)
        attributes = self.attributes.get(f"{tp.__module__}.{tp.__qualname__}")
        if not attributes or (name and name != tp.__name__):
            return
        # Instance attributes, declared at the end of the class body.
        self.depth += 1
        if self.output.endswith("    pass\n\n"):
            self.output = self.output[: self.output.rfind("\n", 0, -2) + 1]
        for attr, annotation in attributes.items():
            self._import_names(annotation)
            self.write_ln(f"{attr}: {annotation}")
        self.write("\n")
        self.depth -= 1

    # -- rendering

    def _put_typed_function(self, key, name, parent, decorator, fn, types):
        params = typed_parameters(key, types, fn, parent, name, decorator)
        if types.get("@property") and decorator is None:
            decorator = "property"
        if decorator:
            self.write_ln(f"@{decorator}")
        for *_, annotation in params:
            if annotation is not None:
                self._import_names(annotation)
        self._import_names(types["return"])
        head = f"def {name}({render_parameters(params)}) -> {types['return']}:"
        comment = f"  # {types['#']}" if "#" in types else ""
        self._write_def(head, comment, docstring(fn))

    def _put_untyped_kit_function(self, name, parent, decorator, fn):
        if decorator:
            self.write_ln(f"@{decorator}")
        params = ", ".join(self.param_str(p) for p in inspect.signature(fn).parameters.values())
        self._write_def(f"def {name}({params}):", "", docstring(fn))

    def _write_def(self, head, comment, doc):
        if not doc:
            self.write_ln(f"{head} ...{comment}")
        else:
            self.write_ln(head + comment)
            self.depth += 1
            self.put_docstr(doc)
            self.depth -= 1
        self.write("\n")

    def _put_typed_value(self, name, value, text):
        annotation, sep, comment = text.partition("  #")
        comment = "  #" + comment if sep else ""
        self._import_names(annotation)
        shown = self.expr_str(value, abbrev=name != "__all__") or "..."
        self.write_ln(f"{name}: {annotation.strip()} = {shown}{comment}\n")

    def _import_names(self, annotation):
        """Imports every name an annotation uses that the stub does not define."""
        code = re.sub(r"'[^']*'|\"[^\"]*\"", "''", annotation)
        for dotted in re.findall(r"[A-Za-z_]\w*(?:\.[A-Za-z_]\w*)*", code):
            if dotted in TYPING_NAMES:
                self.import_object("typing", dotted)
            elif dotted in ABC_NAMES:
                self.import_object("collections.abc", dotted)
            elif "." in dotted:
                self._import_module_of(dotted)

    def _import_module_of(self, dotted):
        parts = dotted.split(".")
        for end in range(len(parts) - 1, 0, -1):
            module = ".".join(parts[:end])
            try:
                importlib.import_module(module)
            except ImportError:
                continue
            self.import_object(module, None)
            return
        raise TableError(f"no module to import for {dotted}")

    def put_docstr(self, docstr):
        # cleandoc, unlike dedent, also takes a text whose first line is not indented.
        super().put_docstr(inspect.cleandoc(docstr))

    def unused_entries(self):
        """Entries for members the build lacks (leaving out what is absent is fine)."""
        return sorted(k for k in set(self.table) - self.used if self.table[k] is not None)


# ---- the stub text ---------------------------------------------------------------


def render(name):
    module = importlib.import_module(name)
    gen = TypedStubGen(module)
    gen.put(module)
    unused = gen.unused_entries()
    if unused:
        raise TableError("table entries for members the build does not have: " + ", ".join(unused))
    return _sorted_imports(gen.get())


def _sorted_imports(text):
    # stubgen groups imports by where a module was found (site-packages or a
    # source tree): one sorted block keeps the stub the same for both.
    lines = text.split("\n")
    statements, i = [], 0
    while i < len(lines):
        line = lines[i]
        if not line.strip():
            i += 1
            continue
        if not line.startswith(("import ", "from ")):
            break
        statement = [line]
        while statement[-1].rstrip().endswith(("(", ",")) or (
            "(" in statement[0] and ")" not in statement[-1]
        ):
            i += 1
            statement.append(lines[i])
        statements.append("\n".join(statement))
        i += 1
    rest = "\n".join(lines[i:])
    return "\n".join(sorted(set(statements))) + "\n\n\n" + rest if statements else rest


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="python tools/stubs.py",
        description="Check the typed .pyi stubs of the kit's extension modules against the "
        "build (the default), or write them with --write.",
        epilog="Exit status: 0 when every stub is current (or written), 1 when a stub is out "
        "of date, 2 when the type table disagrees with the build.",
    )
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--write", action="store_true", help="rewrite the stubs beside their modules")
    mode.add_argument(
        "--check", action="store_true", help="only check (the default; kept for scripts)"
    )
    parser.add_argument(
        "modules", nargs="*", metavar="MODULE", help="only these modules (default: all ten)"
    )
    return parser.parse_args(argv)


def main(argv):
    args = parse_args(argv)
    check = not args.write
    names = args.modules or MODULES
    stale = []
    for name in names:
        try:
            text = render(name)
        except TableError as e:
            print(f"stubs: {name}: {e}", file=sys.stderr)
            return 2
        compile(text, f"{name}.pyi", "exec")  # a stub must at least be valid Python
        path = stub_path(name)
        if check:
            if not path.exists() or path.read_text() != text:
                stale.append(name)
        else:
            path.write_text(text)
    if stale:
        print("out-of-date stubs (run python tools/stubs.py --write):", *stale, sep="\n  ")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
