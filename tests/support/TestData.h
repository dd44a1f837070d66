#pragma once
// Small data helpers shared by the tests.

#include <cstddef>
#include <fstream>
#include <iterator>
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

// A whole file's bytes; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// Writes the bytes to a file, replacing it; false on failure.
inline bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), std::streamsize(bytes.size()));
    return bool(f);
}

} // namespace qordex::test
