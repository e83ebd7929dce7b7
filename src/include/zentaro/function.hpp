// The one way the kit makes functions and methods, in parts:
//   signature.hpp         the signature text, read at compile time
//   function_type.hpp     the function type (a Python function's behaviour)
//   argument_binding.hpp  a call bound as Python binds it to a def
//   make_function.hpp     a kit function for a C++ body, checked against its text
//   class_builder.hpp     a class whose methods are kit functions
#pragma once

#include "zentaro/argument_binding.hpp"
#include "zentaro/class_builder.hpp"
#include "zentaro/function_type.hpp"
#include "zentaro/make_function.hpp"
#include "zentaro/signature.hpp"
