#include "version.hpp"

#include <cstring>

namespace sorvani {

namespace {
bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}
}  // namespace

bool version_matches(const char* compiled, const char* running) noexcept {
    const size_t n = std::strlen(compiled);
    return std::strncmp(compiled, running, n) == 0 && !is_digit(running[n]);
}

std::string leading_version(const char* running) {
    std::string shown;
    bool dot = false;
    for (size_t i = 0; i < 4 && running[i] != '\0'; ++i) {
        const char c = running[i];
        if (c == '.') {
            if (dot) break;
            dot = true;
        } else if (!is_digit(c)) {
            break;
        }
        shown += c;
    }
    return shown;
}

}  // namespace sorvani
