// A process must end when main returns, even while other threads are inside
// requests that share the pool: runs a program that does just that (linked
// against the library, as an application is) many times, each with a time
// limit. One run in a few used to hang.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// ThreadSanitizer lets every process sleep a second at exit by default, to
// catch threads that race with it; a fraction of that serves as well here.
std::vector<char*> environment_of_runs() {
    static std::vector<std::string> owned;
    owned.clear();
    bool tsan_options = false;
    for (char** e = environ; *e != nullptr; ++e) {
        owned.emplace_back(*e);
        if (owned.back().rfind("TSAN_OPTIONS=", 0) == 0) {
            owned.back() += " atexit_sleep_ms=20";
            tsan_options = true;
        }
    }
    if (!tsan_options) owned.emplace_back("TSAN_OPTIONS=atexit_sleep_ms=20");
    std::vector<char*> env;
    for (std::string& e : owned) env.push_back(e.data());
    env.push_back(nullptr);
    return env;
}

struct Outcome {
    int runs = 0, past_limit = 0, failed = 0;
};

// Runs `arguments` `runs` times, two processes at a time; a run past `limit`
// is killed and counted. Stops starting runs after a few such: a hang does
// not need 100 proofs.
Outcome run_repeatedly(std::vector<std::string> arguments, int runs, std::chrono::seconds limit) {
    arguments.insert(arguments.begin(), REQUESTS_AT_EXIT);
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> env = environment_of_runs();
    struct Running {
        pid_t pid;
        std::chrono::steady_clock::time_point deadline;
    };
    std::vector<Running> running;
    Outcome o;
    while (!running.empty() || (o.runs < runs && o.past_limit < 3)) {
        if (running.size() < 2 && o.runs < runs && o.past_limit < 3) {
            ++o.runs;
            pid_t child;
            if (posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), env.data()) == 0)
                running.push_back({child, std::chrono::steady_clock::now() + limit});
            else
                ++o.failed;
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        for (auto r = running.begin(); r != running.end();) {
            int status = 0;
            const pid_t done = waitpid(r->pid, &status, WNOHANG);
            if (done == 0 && std::chrono::steady_clock::now() < r->deadline) {
                ++r;
                continue;
            }
            if (done == 0) {
                kill(r->pid, SIGKILL);
                waitpid(r->pid, &status, 0);
                ++o.past_limit;
            } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                ++o.failed;
            }
            r = running.erase(r);
        }
    }
    return o;
}

// The sanitizers slow every request down, so their runs take smaller ones:
// the fault showed with any size, and ThreadSanitizer reports it each time.
// Under AddressSanitizer, which adds only its leak check at exit, fewer runs
// do.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#if defined(__SANITIZE_ADDRESS__)
constexpr int runs = 20;
#else
constexpr int runs = 100;
#endif

void expect_prompt_exits(const std::vector<std::string>& arguments) {
    const Outcome o = run_repeatedly(arguments, runs, std::chrono::seconds(10));
    EXPECT_EQ(o.past_limit, 0) << o.past_limit << " of " << o.runs << " runs did not end within 10 s";
    EXPECT_EQ(o.failed, 0) << o.failed << " of " << o.runs << " runs failed";
}

// One thread inside the stack matrix of 100000 wavelengths.
TEST(Exit, EndsWhileOneThreadIsInsideARequest) { expect_prompt_exits({"1", sanitized ? "5000" : "100000", "1"}); }

// Three threads, in the stack matrix, its derivatives and the real-index
// coefficients (2000 wavelengths, 20 layers), each with its chunks queued in
// the same pool.
TEST(Exit, EndsWhileThreeThreadsShareThePool) {
    expect_prompt_exits({"3", sanitized ? "300" : "2000", sanitized ? "4" : "20"});
}

}  // namespace
