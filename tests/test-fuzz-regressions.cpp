// Inputs that once broke a reader, kept in tests/fuzz/regressions/<target>/
// and replayed through the fuzz target's own body, which aborts when one of
// its reader's rules is broken (and under the sanitizers, on any memory or
// undefined-behaviour fault).

#include "fuzz-bodies.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<std::string> files_in(const std::string & dir) {
    std::vector<std::string> names;
    if (DIR * d = opendir(dir.c_str())) {
        while (const dirent * e = readdir(d)) {
            if (e->d_name[0] != '.') {
                names.push_back(dir + "/" + e->d_name);
            }
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(FuzzRegressions, EveryKeptInputPassesItsTarget) {
    int n_inputs = 0;
    for (const fuzz_target & target : fuzz_targets) {
        for (const std::string & path : files_in(std::string(KESTU_FUZZ_REGRESSIONS_DIR) + "/" + target.name)) {
            SCOPED_TRACE(path);
            std::ifstream              f(path, std::ios::binary);
            const std::vector<uint8_t> input((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
            EXPECT_EQ(target.body(input.data(), input.size()), 0);
            n_inputs++;
        }
    }
    EXPECT_GT(n_inputs, 0);
}

} // namespace
