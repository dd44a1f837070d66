#pragma once
// Small data helpers shared by the tests.

#include <cstddef>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace qordex::test {

// Reproducible pseudo-random bytes.
inline std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = char(gen() & 0xFF);
    return s;
}

// The lines of a program's output, without their line feeds.
inline std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

} // namespace qordex::test
