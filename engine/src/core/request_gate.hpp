// The gate between requests and init. Every request that may use the pool
// passes it for its whole length; init closes it, waits until the requests
// inside have left, replaces the pool, and opens it again, holding new
// requests back meanwhile. Concurrent inits queue behind each other.
//
// A request pays one atomic increment on the way in and one decrement on the
// way out, on a counter it shares with few other threads; locks are taken
// only while init holds the gate closed.
//
// A process forked from one with a pool inherits neither its workers nor the
// other threads inside the gate: its copy of the gate is reset and its copy
// of the pool dropped, so that requests there run on the calling thread until
// it calls init itself.
#pragma once

namespace sardune {

class ThreadPool;

// Held for the length of one request: the pool it may use (null: none)
// stays installed until the request has finished.
class PoolAdmission {
public:
    PoolAdmission() noexcept;
    ~PoolAdmission();
    PoolAdmission(const PoolAdmission&) = delete;
    PoolAdmission& operator=(const PoolAdmission&) = delete;

    ThreadPool* pool() const noexcept { return pool_; }

private:
    unsigned stripe_;
    ThreadPool* pool_;
};

// Held by init while it replaces the pool: no request is inside the gate
// from construction to destruction, and no other init either.
class ExclusivePoolAccess {
public:
    ExclusivePoolAccess() noexcept;
    ~ExclusivePoolAccess();
    ExclusivePoolAccess(const ExclusivePoolAccess&) = delete;
    ExclusivePoolAccess& operator=(const ExclusivePoolAccess&) = delete;
};

}  // namespace sardune
