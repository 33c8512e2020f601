// Text handling shared by the design-file reader and the command line: the
// one number syntax of the tool, and bytes made safe to print.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace spectrum {

// Bad input, with the complete message ("FILE:LINE: FIELD: PROBLEM" or
// "--option: PROBLEM"). The tool prints it and exits with status 2.
struct InputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

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

// Every byte outside printable ASCII (0x20-0x7E) as \xNN, and the backslash
// as \\, so that no text from a file or the command line drives the terminal.
std::string escaped(std::string_view bytes);

}  // namespace spectrum
