"""The kit's C++ modules, from the one list the build reads."""

import pathlib

LIST = pathlib.Path(__file__).resolve().parents[2] / "tools" / "kit_modules.txt"
KIT_MODULES = [
    line.split()[0]
    for line in LIST.read_text().splitlines()
    if line.strip() and not line.startswith("#")
]
