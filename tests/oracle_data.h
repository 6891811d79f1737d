// Reads reference data written by the Python oracles (tests/oracles/*.py).
// A file holds arrays one after another, each as its length on one line and
// its values on the next.
#ifndef KADENZO_TESTS_ORACLE_DATA_H
#define KADENZO_TESTS_ORACLE_DATA_H

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace oracle {

inline std::string dir() {
    const char* d = std::getenv("KADENZO_ORACLE_DIR");
    if (!d) throw std::runtime_error("KADENZO_ORACLE_DIR is not set: run the tests through ctest");
    return d;
}

inline std::vector<std::vector<double>> read(const std::string& name) {
    const std::string path = dir() + "/" + name;
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot open oracle file " + path);
    std::vector<std::vector<double>> arrays;
    std::size_t n;
    while (in >> n) {
        std::vector<double> a(n);
        for (double& v : a)
            if (!(in >> v)) throw std::runtime_error("truncated oracle file " + path);
        arrays.push_back(std::move(a));
    }
    return arrays;
}

}  // namespace oracle

#endif
