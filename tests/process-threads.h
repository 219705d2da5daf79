// The process's threads as the kernel lists them, for tests of code that
// keeps worker threads across calls: which exist, and which came since.

#pragma once

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <set>

namespace process_threads_test {

// the ids of the process's threads
inline std::set<long> process_threads() {
    std::set<long> ids;
    DIR *          dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return ids;
    }
    while (const dirent * e = readdir(dir)) {
        if (e->d_name[0] != '.') {
            ids.insert(strtol(e->d_name, nullptr, 10));
        }
    }
    closedir(dir);
    return ids;
}

// the threads that exist now and did not in `before`
inline std::set<long> threads_beyond(const std::set<long> & before) {
    const std::set<long> now = process_threads();
    std::set<long>       extra;
    std::set_difference(now.begin(), now.end(), before.begin(), before.end(), std::inserter(extra, extra.begin()));
    return extra;
}

} // namespace process_threads_test
