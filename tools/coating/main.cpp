// sardune-spectrum: reflectance, transmittance and the largest thickness
// sensitivity of a coating over a wavelength range, as CSV on standard
// output, with a one-line summary on standard error.
#include <unistd.h>

#include <iostream>

#include "tool.hpp"

int main(int argc, char** argv) {
    return spectrum::run_tool(argc, argv, std::cout, std::cerr, isatty(STDERR_FILENO) ? 1.0 : -1.0);
}
