// Copies of a byte string left in writable memory (via /proc/self/mem: dead stack frames count).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>

namespace tarq::test {

// `only`: a mapping such as "[stack]"; empty: every writable mapping under 1 GB (not a shadow).
inline int copiesInMemory(std::string_view needle, std::string_view only = {}) {
    const int mem = open("/proc/self/mem", O_RDONLY);
    std::ifstream maps("/proc/self/maps");
    std::string chunk(1 << 20, '\0');
    int copies = 0;
    for (std::string l; std::getline(maps, l);) {
        unsigned long at = 0, end = 0;
        std::sscanf(l.c_str(), "%lx-%lx", &at, &end);
        if (!only.empty() && !l.ends_with(only)) continue;
        for (; l[l.find(' ') + 2] == 'w' && end - at < 1UL << 30 && at < end; at += 1000000) {
            const auto n = pread(mem, chunk.data(), std::min(chunk.size(), end - at), long(at));
            copies += std::string_view(chunk).substr(0, std::max(n, 0L)).find(needle) !=
                      std::string_view::npos;
        }
    }
    close(mem);
    return copies;
}

} // namespace tarq::test
