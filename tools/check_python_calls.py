"""Finds raw CPython calls that can run Python code outside the guard.

A call such as PyObject_GetAttr or PyObject_Vectorcall may run any Python
code; a thread that the interpreter ends at exit meets it there, so such calls
go through into_python (or a helper built on it). This checker reads the C++
sources as text: it blanks comments and string literals, marks the argument
span of every into_python(...) as guarded, and reports every listed call
outside a guarded span that tools/python_calls_allowed.txt does not name.
An allow-list entry that matches nothing is reported too, so the list shrinks
with the code.
"""

import argparse
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
ALLOWED = ROOT / "tools" / "python_calls_allowed.txt"

# Calls that can run Python code (attribute hooks, __eq__, __hash__, __iter__,
# __format__, number slots, imports). PyNumber_Check and the PySequence_Fast_*
# macros read type slots only and are not listed. compat::get_method wraps a
# private lookup that runs attribute hooks: its callers count as raw calls.
RAW_CALL = re.compile(
    r"\b(PyObject_(?:Call\w*|Vectorcall\w*|GetAttr\w*|SetAttr\w*|GetItem|SetItem|DelItem"
    r"|RichCompare\w*|Str|Repr|Hash|Format|GetIter|IsTrue)"
    r"|PyIter_Next|PyNumber_(?!Check\b)\w+|PyUnicode_Format"
    r"|PySequence_(?:GetItem|GetSlice|Contains|Fast|Size)|PyImport_Import\w*"
    r"|compat::get_method)\s*\("
)
GUARD = re.compile(r"\binto_python\s*\(")


def blank(text):
    """The text with comments and string/char literals replaced by spaces (newlines kept)."""
    out = list(text)
    i, n = 0, len(text)
    while i < n:
        if text.startswith("//", i):
            start, end = i, text.find("\n", i)
        elif text.startswith("/*", i):
            start, end = i, text.find("*/", i + 2)
            end = -1 if end < 0 else end + 2
        elif text[i] in "\"'":
            start, end = i + 1, i + 1
            while end < n and text[end] not in (text[i], "\n"):
                end += 2 if text[end] == "\\" else 1
        else:
            i += 1
            continue
        end = n if end < 0 else end
        end = min(max(end, start), n)
        for k in range(start, end):
            if out[k] != "\n":
                out[k] = " "
        i = end + 1 if text[i] in "\"'" else end
    return "".join(out)


def guarded_spans(code):
    spans = []
    for m in GUARD.finditer(code):
        depth, i = 1, m.end()
        while i < len(code) and depth:
            depth += {"(": 1, ")": -1}.get(code[i], 0)
            i += 1
        spans.append((m.end(), i))
    return spans


def findings(path, rel):
    text = path.read_text()
    code = blank(text)
    lines = text.splitlines()
    spans = guarded_spans(code)
    for m in RAW_CALL.finditer(code):
        if any(a <= m.start() < b for a, b in spans):
            continue
        number = code.count("\n", 0, m.start()) + 1
        yield rel, number, m.group(1), " ".join(lines[number - 1].split())


def read_allowed(path):
    allowed = {}
    for raw in path.read_text().splitlines():
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        file, _, call = line.partition(": ")
        allowed[(file, " ".join(call.split()))] = False
    return allowed


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python tools/check_python_calls.py",
        description="Report raw CPython calls that can run Python code outside into_python.",
    )
    parser.add_argument("files", nargs="*", type=pathlib.Path, help="default: src/**/*.cpp, *.hpp")
    parser.add_argument("--allowed", type=pathlib.Path, default=ALLOWED, help="the allow-list")
    args = parser.parse_args(argv)
    files = args.files or sorted(
        p for p in (ROOT / "src").rglob("*") if p.suffix in (".cpp", ".hpp")
    )
    allowed = read_allowed(args.allowed)
    bad = 0
    for path in files:
        path = path.resolve()
        rel = path.relative_to(ROOT).as_posix() if path.is_relative_to(ROOT) else str(path)
        for file, number, name, line in findings(path, rel):
            if (file, line) in allowed:
                allowed[(file, line)] = True
                continue
            print(f"{file}:{number}: {name} can run Python code outside into_python: {line}")
            bad += 1
    stale = [key for key, used in allowed.items() if not used] if not args.files else []
    for file, line in stale:
        print(f"{args.allowed.name}: no longer found, remove the entry: {file}: {line}")
    return 1 if bad or stale else 0


if __name__ == "__main__":
    sys.exit(main())
