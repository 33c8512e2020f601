// Allocation-fault injection for tests: replaces the global operator new so
// that a chosen allocation, counted from the moment of arming, fails.
#pragma once

namespace alloc_fault {

// The allocation after `successes` further successful ones fails; with
// `persistent` every later one fails too, until disarm().
void arm(long successes, bool persistent = true);
void disarm();
// Number of allocations that failed since the last arm().
long failures();

struct Scope {
    Scope(long successes, bool persistent = true) { arm(successes, persistent); }
    ~Scope() { disarm(); }
};

}  // namespace alloc_fault
