// Function objects made from a declarative table.
//
// Each public callable is described once, next to its body, by a `Spec`: its qualified name
// (the bare name and the dotted name of its traceback entries derive from it), first source
// line, parameters (annotation, default, type test), return annotation, the locals its code
// object lists, its docstring and its body. `make_function` turns a spec into an object that
// behaves like a Python function (attributes, code object, signature, method binding, pickling
// by qualified name) and is called through vectorcall: arguments are bound by Python's rules
// for positional-or-keyword parameters, type-tested, and handed to the body by name. An
// exception leaving the body gets one traceback entry at the body's current line.
#pragma once

#include <cstddef>
#include <iterator>
#include <span>
#include <type_traits>
#include <utility>

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

inline constexpr std::size_t max_params = 9;

// A body as the function object calls it: the bound arguments in parameter order, all present.
using Body = Ref (*)(Line& at, const Obj* args);

struct Spec {
    const char* qualname = nullptr;  // "obtain_dataset", "plotPrediction.plot_pred"
    int first_line = 0;
    std::span<const Param> params{};
    const char* returns = nullptr;  // return annotation; nullptr: none
    std::span<const char* const> locals{};
    const char* doc = nullptr;  // nullptr: no docstring
    Body body = nullptr;

    // The bare name: what follows the last dot of the qualified name.
    [[nodiscard]] constexpr const char* name() const noexcept {
        const char* bare = qualname;
        for (const char* c = qualname; *c != '\0'; ++c) {
            if (*c == '.') bare = c + 1;
        }
        return bare;
    }
};

namespace detail {

template <class F>
struct BodyOf;

template <class... Args>
struct BodyOf<Ref (*)(Line&, Args...)> {
    static constexpr std::size_t arity = sizeof...(Args);
    static constexpr bool takes_objects = (std::is_same_v<Args, Obj> && ...);
};

template <auto body, std::size_t... I>
Ref call_body(Line& at, const Obj* args, std::index_sequence<I...> /*unused*/) {
    return body(at, args[I]...);
}

template <auto body>
Ref unpack(Line& at, const Obj* args) {
    return call_body<body>(at, args, std::make_index_sequence<BodyOf<decltype(body)>::arity>{});
}

}  // namespace detail

// The spec of a callable whose body takes its arguments by name, one `Obj` per entry of
// `params`, in order; a body whose parameters do not match the table does not compile:
//
//   Ref plot_residuals(Line& at, Obj self, Obj df_pred, Obj df_real, ...);
//   const Spec plot_residuals_spec = define<plot_residuals, params>({.qualname = ..., ...});
template <auto body, const auto& params>
constexpr Spec define(Spec spec) {
    using Of = detail::BodyOf<decltype(body)>;
    static_assert(Of::takes_objects, "a body takes each argument as an Obj");
    static_assert(Of::arity == std::size(params), "a body takes one argument per parameter");
    static_assert(std::size(params) <= max_params, "too many parameters");
    spec.params = params;
    spec.body = &detail::unpack<body>;
    return spec;
}

// Readies the function type; once per process. Returns -1 with an exception set.
int ready_function_type() noexcept;

// The code object of `spec`: its name, first line, the parameters and then the locals as
// varnames, all parameters positional-or-keyword.
Ref make_code(const Spec& spec);

// A new function object for `spec` (which must outlive it) carrying `code`, with the module
// namespace as its globals.
Ref make_function(const Spec& spec, Obj code);

}  // namespace rt
