// Everything function.hpp and most modules use at once: errors, the guard,
// interned names, the object protocol, imports and classes. Each concern has
// its own header; include the one a file needs where that is all it uses.
#pragma once

#include "zentaro/classes.hpp"
#include "zentaro/errors.hpp"
#include "zentaro/exit_guard.hpp"
#include "zentaro/imports.hpp"
#include "zentaro/names.hpp"
#include "zentaro/objects.hpp"
#include "zentaro/text.hpp"
