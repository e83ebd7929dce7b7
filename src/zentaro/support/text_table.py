"""Plain-text tables for the demos, aligned also when cells hold Chinese text."""

import unicodedata


def display_width(text):
    """Terminal columns of `text`: wide (East Asian) characters take two."""
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def _pad(text, width, right):
    gap = " " * (width - display_width(text))
    return gap + text if right else text + gap


def format_table(rows, headers, indent="    "):
    """Lines of a table; columns whose cells are all numbers are right-aligned."""
    cells = [[str(x) for x in row] for row in rows]
    widths = [display_width(h) for h in headers]
    for row in cells:
        widths = [max(w, display_width(c)) for w, c in zip(widths, row, strict=True)]
    numeric = [
        bool(rows)
        and all(isinstance(row[i], int | float) or _looks_numeric(row[i]) for row in rows)
        for i in range(len(headers))
    ]

    def line(row):
        parts = (_pad(c, w, r) for c, w, r in zip(row, widths, numeric, strict=True))
        return (indent + "  ".join(parts)).rstrip()

    return [line(list(headers)), *(line(row) for row in cells)]


def _looks_numeric(value):
    text = str(value).replace(",", "").replace("%", "").replace("¥", "").strip()
    try:
        float(text)
    except ValueError:
        return False
    return True
