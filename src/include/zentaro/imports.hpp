// Imports, and the table a module binds its imported names from. The names
// become module attributes: the kit's code reads them at call time, so users
// and tests may replace them.
#pragma once

#include <nanobind/nanobind.h>

#include <span>

namespace zentaro {

namespace nb = nanobind;

nb::object import(const char *module);

// `from <package> import <name>`, with the ImportError Python gives when the
// name is missing.
nb::object import_from(const char *package, const char *name);

// One line of a module's imports, run in table order:
//   {"json", "json", nullptr}            import json
//   {"ET", "xml.etree.ElementTree"}      import xml.etree.ElementTree as ET
//   {"wraps", "functools", "wraps"}      from functools import wraps
//   {nullptr, "urllib3.util"}            import urllib3.util (binds nothing)
struct ImportEntry {
    const char *attribute; // the module attribute bound, or null
    const char *module;
    const char *name = nullptr; // from `module` import `name`; null: the module itself
};

void bind_imports(nb::handle module, std::span<const ImportEntry> table);

} // namespace zentaro
