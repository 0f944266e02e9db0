// The check of the CPython version the module was built for against the running one.
#pragma once

#include <string>

namespace sorvani {

// True when `running` begins with exactly `compiled` ("3.9") and the next character is not a
// digit: 3.9.7 matches 3.9, 3.10.1 does not.
bool version_matches(const char* compiled, const char* running) noexcept;

// The leading characters of `running` that make up a version: at most four, digits and at most
// one dot ("3.10" from "3.10.1 (main, ...)").
std::string leading_version(const char* running);

}  // namespace sorvani
