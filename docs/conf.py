"""Sphinx configuration of the kit's API reference (bash scripts/docs builds it)."""

import importlib
import os
import sys

import zentaro

# autodoc documents the modules as built: imported here, before it could load the
# .pyi stub in a module's place (the stubs give the types, through kit_stubs).
os.environ["SPHINX_AUTODOC_IGNORE_NATIVE_MODULE_TYPE_STUBS"] = "1"
# Importing the kit makes its folders: never the user's ~/.zentaro for a docs build.
HERE = os.path.dirname(os.path.abspath(__file__))
os.environ.setdefault("ZENTARO_ROOT", os.path.join(HERE, "_build", "kit-home"))
KIT_MODULES = [
    line.split()[0]
    for line in open(os.path.join(HERE, "..", "tools", "kit_modules.txt"), encoding="utf-8")
    if line.strip() and not line.startswith("#")
]
for _name in KIT_MODULES:
    importlib.import_module(_name)

sys.path.insert(0, os.path.join(HERE, "_ext"))

project = "zentaro"
author = "The zentaro developers"
copyright = "The zentaro developers"
version = release = zentaro.__version__

extensions = ["sphinx.ext.autodoc", "kit_stubs"]
exclude_patterns = ["_build"]
root_doc = "index"
language = "en"
# Quoted texts are the kit's own messages: shown exactly, straight quotes included.
smartquotes = False

# Members in the order the module defines them, as its page reads best.
autodoc_member_order = "bysource"
autodoc_default_options = {"undoc-members": False}
# Types come from the stubs (kit_stubs), not from run-time annotations.
autodoc_typehints = "signature"
python_use_unqualified_type_names = True
add_module_names = False
toc_object_entries_show_parents = "hide"

html_theme = "alabaster"
html_title = f"zentaro {release} API reference"
html_theme_options = {
    "description": "Client-side kit of the zentaro quantitative-trading platform",
    "page_width": "1200px",
    "sidebar_width": "260px",
    "fixed_sidebar": True,
}
html_sidebars = {"**": ["about.html", "navigation.html", "searchbox.html"]}
html_show_sourcelink = False
html_copy_source = False
