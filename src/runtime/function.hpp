// Function objects made from a declarative table.
//
// Each public callable is described once by a `Spec`: its name, qualified name, first source
// line, parameters (annotation, default, type test), return annotation, the locals its code
// object lists, its docstring and its body. `make_function` turns a spec into an object that
// behaves like a Python function (attributes, code object, signature, method binding,
// pickling by qualified name) and is called through vectorcall: arguments are bound by
// Python's rules for positional-or-keyword parameters, type-tested, and handed to the body.
// An exception leaving the body gets one traceback entry at the body's current line.
#pragma once

#include <span>

#include "ops.hpp"
#include "ref.hpp"

namespace rt {

enum class Default : unsigned char { required, none, false_ };

// The boundary type test of a parameter.
enum class Test : unsigned char {
    any,          // not tested
    str,          // exactly `str`
    str_or_none,  // exactly `str`, or None
};

struct Param {
    const char* name = nullptr;
    const char* annotation = nullptr;  // nullptr: not annotated
    Default fallback = Default::required;
    Test test = Test::any;
};

inline constexpr int max_params = 9;

// The body of a function: the bound arguments in parameter order, all present.
using Body = Ref (*)(Line& at, const Obj* args);

struct Spec {
    const char* name;
    const char* qualname;
    const char* dotted_name;  // module name, a dot and the qualified name: the traceback entry
    int first_line;
    std::span<const Param> params;
    const char* returns;  // return annotation; nullptr: none
    std::span<const char* const> locals;
    const char* doc;  // nullptr: no docstring
    Body body;
};

// Readies the function type; once per process. Returns -1 with an exception set.
int ready_function_type() noexcept;

// The code object of `spec`: its name, first line, the parameters and then the locals as
// varnames, all parameters positional-or-keyword.
Ref make_code(const Spec& spec);

// A new function object for `spec` (which must outlive it) carrying `code`, with the module
// namespace as its globals.
Ref make_function(const Spec& spec, Obj code);

}  // namespace rt
