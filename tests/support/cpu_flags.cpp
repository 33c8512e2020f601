#include "cpu_flags.hpp"

#include <fstream>
#include <set>
#include <sstream>

namespace cpu_flags {

namespace {
std::set<std::string> read_flags() {
    std::ifstream in("/proc/cpuinfo");
    std::set<std::string> flags;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("flags", 0) == 0) {
            std::istringstream words(line.substr(line.find(':') + 1));
            for (std::string w; words >> w;) flags.insert(w);
            break;
        }
    return flags;
}
}  // namespace

bool has(const std::string& name) {
    static const std::set<std::string> flags = read_flags();
    return flags.count(name) != 0;
}

}  // namespace cpu_flags
