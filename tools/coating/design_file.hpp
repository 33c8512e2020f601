// Design files and materials files: reading them within fixed limits, the
// grammar shared with the Python package's read_design, and the written form
// both give for a design.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "database.hpp"
#include "materials.hpp"

namespace spectrum {

constexpr size_t max_file_bytes = size_t(16) << 20;  // 16 MiB
constexpr size_t max_line_bytes = 4096;
constexpr double max_substrate_thickness_mm = 1000.0;
// Front and back layers together: one wavelength of the tool's workspace
// (some 180 bytes per layer) then stays within its 32 MiB.
constexpr size_t max_layers = 100000;

// A medium or a layer's index: a material of the design (`material` >= 0) or
// a fixed n - ik given in place.
struct Medium {
    double n = 1.0, k = 0.0;  // when material < 0
    int material = -1;
};

struct Layer : Medium {
    double thickness_nm = 0.0;
};

struct Design {
    std::vector<Material> materials;  // defined, or built in and used
    std::vector<Layer> layers;        // from the substrate up
    Medium incident{1.0, 0.0, -1};    // lossless
    Medium substrate{1.52, 0.0, -1};
    double substrate_thickness_mm = 0.0;  // 0: a semi-infinite substrate
    // Behind a thick substrate, with the back layers from its back face outwards.
    bool exit_given = false;
    Medium exit;
    std::vector<Layer> back;

    bool thick() const { return substrate_thickness_mm > 0; }
    // The incident medium unless an exit medium is given.
    const Medium& exit_medium() const { return exit_given ? exit : incident; }

    std::string database;  // a user's copy of the database, empty for none
    std::string library_folder = spectrum::library_folder();
    std::shared_ptr<const Library> library;  // read on first use
};

// A design of the built-in library with no layers yet.
Design empty_design();

// The design the tool computes when none is given: the design file
// default.design beside the materials library (share/sardune/default.design,
// the Python package's data/default.design in the build tree), a 19-layer
// quarter-wave high reflector centred at 550 nm; InputError when it cannot
// be read.
std::string default_design_file();
Design default_design();

// What a file may hold: a design file everything; a materials file
// definitions only; a back file (the tool's --back) definitions and layers,
// which become the back layers.
enum class FileKind { design, materials, back };

// Adds what a file holds, given as its bytes, to the design; `source` is the
// file's name for messages and the folder that table and .yml files are
// relative to. InputError names the file, line and field of the first
// problem.
void parse_design(std::string_view bytes, const std::string& source, FileKind kind, Design& design);

// read_bounded and parse_design.
void read_materials_file(const std::string& path, Design& design);
void read_design_file(const std::string& path, Design& design);
void read_back_file(const std::string& path, Design& design);

// The material of a design by name (defined in it, or built in: then added
// to it), or -1.
int find_material(Design& design, std::string_view name);

// A medium given on the command line: a number (k beside it), a material's
// name, a page of the user's database (main/SiO2/nk/Gao) or a .yml file. A
// page or a file becomes a material of the design, named after it. Problems
// are InputErrors "OPTION: PROBLEM".
Medium medium_option(Design& design, std::string_view text, double k, const std::string& option);

// The design in the written form both parsers read back to the same design:
// the definitions of the materials it uses (built-in ones by name), the media
// and the layers, one per line. InputError naming the material when a path
// or page cannot be written in a design file.
std::string write_design(const Design& design);

}  // namespace spectrum
