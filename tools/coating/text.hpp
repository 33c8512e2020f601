// Text handling shared by the file readers and the command line: bounded
// reading, fields, the one number syntax of the tool, and bytes made safe to
// print.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace spectrum {

// Bad input, with the complete message ("FILE:LINE: FIELD: PROBLEM" or
// "--option: PROBLEM"). The tool prints it and exits with status 2.
struct InputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The bytes of a file, at most `limit` of them; InputError ("FILE: cannot
// open: REASON", "FILE: larger than 16 MiB") when it cannot be read or is
// larger.
std::string read_bounded(const std::string& path, size_t limit);

// The field (a run of bytes other than space and tab) at or after `pos`, and
// `pos` moved past it; an empty view when there is none.
std::string_view next_field(std::string_view text, size_t& pos);

enum class NumberStatus { ok, not_a_number, out_of_range };

// [+-]?([0-9]+(\.[0-9]*)?|\.[0-9]+)([eE][+-]?[0-9]+)? and nothing else; the
// value must be finite as a double (an underflow becomes 0 or a subnormal,
// as a correctly rounded conversion gives). Allocates nothing.
NumberStatus parse_number(std::string_view text, double& value);

// The problem a NumberStatus stands for, after the quoted text:
// "'2_35' is not a number", "'1e999' is out of range".
std::string number_problem(std::string_view text, NumberStatus status);

// The shortest decimal form that reads back as the same double, for messages.
std::string shortest(double v);

// The shortest decimal that reads back as the same double in the form
// std::to_chars gives it (fixed or scientific, whichever is shorter: 100,
// 1e+05, 0.0001, 1e-05), with -0 as 0: the numbers of written design files.
std::string round_trip(double v);

// Every byte outside printable ASCII (0x20-0x7E) as \xNN, and the backslash
// as \\, so that no text from a file or the command line drives the terminal.
std::string escaped(std::string_view bytes);

}  // namespace spectrum
