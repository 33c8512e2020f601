// Design files and materials files: reading them within fixed limits, and
// the grammar shared with the Python package's read_design.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "materials.hpp"

namespace spectrum {

constexpr size_t max_file_bytes = size_t(16) << 20;  // 16 MiB
constexpr size_t max_line_bytes = 4096;

// A layer is either of a material of the design (`material` >= 0) or of a
// fixed index given on its own line.
struct Layer {
    double n = 1.0, k = 0.0;  // complex index n - ik, when material < 0
    double thickness_nm = 0.0;
    int material = -1;
};

struct Design {
    std::vector<Material> materials;  // the built-ins first
    std::vector<Layer> layers;        // from the substrate up
};

// A design that knows the built-in materials and has no layers yet.
Design empty_design();

// The bytes of a file, at most max_file_bytes of them; InputError when it
// cannot be read or is larger.
std::string read_bounded(const std::string& path);

// Adds the definitions of a materials file (`materials_only`) or the
// definitions and layers of a design file, given as its bytes; `source` is
// the file's name for messages and the folder that table files are relative
// to. InputError names the file, line and field of the first problem.
void parse_design(std::string_view bytes, const std::string& source, bool materials_only, Design& design);

// read_bounded and parse_design; a design file must have a layer.
void read_materials_file(const std::string& path, Design& design);
void read_design_file(const std::string& path, Design& design);

}  // namespace spectrum
