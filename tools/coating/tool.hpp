// The command line of sardune-spectrum as a function, so that tests can run
// the whole tool in-process with streams of their own.
#pragma once

#include <ostream>

namespace spectrum {

// Runs the tool on argv[1 .. argc-1], CSV to `out`, summary and messages to
// `err`. Progress is shown on `err` once a run has taken
// `progress_after_seconds` (negative: never; the program passes 1 s when
// standard error is a terminal). Returns the exit status: 0, 1 (not enough
// memory, a result the engine cannot evaluate, output not written) or 2 (bad
// input).
int run_tool(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
             double progress_after_seconds = -1.0);

}  // namespace spectrum
