// The threads of this process as the kernel counts them, for tests that
// prove workers were started or joined.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace thread_count {

// Threads of this process, counted by the kernel: a joined worker is gone.
inline int live() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

// A joined thread can linger in /proc for a moment after join returns, so
// counts are read until they settle; a worker that was never joined stays
// and still fails the comparison.
inline int settled_at(int expected) {
    int n = live();
    for (int tries = 0; n != expected && tries < 200; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        n = live();
    }
    return n;
}

// Sanitizer runtimes start a helper thread of their own with the first thread
// the process creates; the baseline is taken after that one exists and the
// probe thread is gone.
inline int baseline() {
    std::thread([] {}).join();
    int n = live();
    for (int tries = 0; tries < 10; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        n = std::min(n, live());
    }
    return n;
}

}  // namespace thread_count
