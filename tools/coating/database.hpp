// Data files of the optical-constants database and the index of the built-in
// library, both YAML, read by yaml-cpp into a small tree of their own.
//
// A data file's DATA is a list of one or two items: `type: formula N`
// (1 to 9) with `wavelength_range: LO HI` (um) and `coefficients: C1 C2 ...`,
// or `type: tabulated nk | n | k` with `data:` rows "lambda n k", "lambda n"
// or "lambda k" (lambda in um, ascending). One item gives n (a formula,
// tabulated n or nk), a `tabulated k` beside it gives k; without one k = 0.
// The other keys (REFERENCES, COMMENTS, CONDITIONS, ...) are not read.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "materials.hpp"

namespace spectrum {

// Real data files are below 3 MB; yaml-cpp takes seconds beyond a few MiB.
constexpr size_t max_yaml_bytes = size_t(4) << 20;  // 4 MiB

// The data of a file's bytes; `file` names it in messages, which read
// "FILE:LINE: FIELD: PROBLEM" (InputError).
std::shared_ptr<const Dispersion> parse_database_file(std::string_view bytes, const std::string& file);

// read_bounded (at most max_yaml_bytes) and parse_database_file.
std::shared_ptr<const Dispersion> read_database_file(const std::string& path);

// One name of the built-in library.
struct LibraryEntry {
    std::string name, file;  // file: the data file's path
    std::string description, reference;
};

// The index of the built-in library: a mapping from each name to its `file`
// (relative to the index's folder), `description` and `reference`.
struct Library {
    std::string folder;
    std::vector<LibraryEntry> entries;  // in the order of the index
    const LibraryEntry* find(std::string_view name) const;
};

// The folder of the installed library: share/sardune/materials beside the
// program's own folder (bin/), which the build tree mirrors.
std::string library_folder();

// FOLDER/index.yml; InputError naming the index and the field of a problem.
std::shared_ptr<const Library> read_library(const std::string& folder);

// The data file of a page of a user's copy of the database (DIR holds
// data/ as the database does): DIR/data/PAGE.yml. InputError with the
// problem alone (the caller names the field) when PAGE is no page name.
std::string page_file(const std::string& database_folder, std::string_view page);

}  // namespace spectrum
