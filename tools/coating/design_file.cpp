#include "design_file.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <unordered_map>

#include "text.hpp"

namespace spectrum {

namespace {

// ---------------------------------------------------------------- lines and fields

[[noreturn]] void fail(const std::string& file, long line, const char* field, const std::string& problem) {
    throw InputError(escaped(file) + ":" + std::to_string(line) + ": " + field + ": " + problem);
}

bool separator(unsigned char b) { return b == ' ' || b == '\t'; }
bool visible(unsigned char b) { return b >= 0x21 && b <= 0x7e; }

// The fields of one line with its comment removed. Only the first few are
// kept; no line kind has more than 17.
struct Fields {
    static constexpr size_t kept = 20;
    std::array<std::string_view, kept> at;
    size_t count = 0;
    std::string_view operator[](size_t i) const { return at[i]; }
};

Fields split(std::string_view content) {
    Fields f;
    size_t pos = 0;
    for (std::string_view field; !(field = next_field(content, pos)).empty(); ++f.count)
        if (f.count < Fields::kept) f.at[f.count] = field;
    return f;
}

// Where a line's field names come from: which field a position stands for.
using FieldName = const char* (*)(const Fields&, size_t);

// Bytes other than printable ASCII, space and tab are refused outside
// comments. The message names the field the bytes stand in, by position:
// `line` beyond the fields of the line's kind.
void refuse_bad_bytes(std::string_view content, const Fields& fields, FieldName field_name, const std::string& file,
                      long line) {
    size_t token = 0;
    for (size_t pos = 0; pos < content.size(); ++pos) {
        const auto b = static_cast<unsigned char>(content[pos]);
        if (separator(b)) continue;
        if (pos == 0 || separator(static_cast<unsigned char>(content[pos - 1]))) ++token;
        if (visible(b)) continue;
        size_t end = pos;
        while (end < content.size() && !visible(static_cast<unsigned char>(content[end])) &&
               !separator(static_cast<unsigned char>(content[end])))
            ++end;
        fail(file, line, field_name(fields, token - 1),
             "'" + escaped(content.substr(pos, end - pos)) +
                 "' is not allowed outside comments (only printable ASCII, spaces and tabs)");
    }
}

// Calls `handle(fields, number)` for each line that has a field,
// after the checks every file kind shares: line length and bytes.
template <class Handle>
void for_each_line(std::string_view bytes, const std::string& file, FieldName field_name, Handle handle) {
    long number = 0;
    for (size_t pos = 0; pos < bytes.size();) {
        ++number;
        const size_t end = std::min(bytes.find_first_of("\r\n", pos), bytes.size());
        const std::string_view line = bytes.substr(pos, end - pos);
        pos = end + (end + 1 < bytes.size() && bytes[end] == '\r' && bytes[end + 1] == '\n' ? 2 : 1);
        if (line.size() > max_line_bytes) fail(file, number, "line", "longer than 4096 bytes");
        const std::string_view content = line.substr(0, line.find('#'));
        const Fields fields = split(content);
        if (fields.count == 0) continue;
        refuse_bad_bytes(content, fields, field_name, file, number);
        handle(fields, number);
    }
}

double number(std::string_view text, const std::string& file, long line, const char* field) {
    double v = 0;
    const NumberStatus status = parse_number(text, v);
    if (status != NumberStatus::ok) fail(file, line, field, number_problem(text, status));
    return v;
}

void check(const std::string& problem, const std::string& file, long line, const char* field) {
    if (!problem.empty()) fail(file, line, field, problem);
}

std::string thickness_problem(double d) {
    if (d >= 0 && d <= max_thickness_nm) return {};
    return "d " + shortest(d) + " nm is outside 0 <= d <= 1e7 nm";
}

// A path relative to the folder of the file that names it.
std::string beside(const std::string& file, std::string_view name) {
    return name[0] == '/' ? std::string(name) : file.substr(0, file.rfind('/') + 1) + std::string(name);
}

bool ends_with(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// ---------------------------------------------------------------- tables

const char* table_field(const Fields&, size_t i) {
    static const char* const names[] = {"wavelength", "index", "extinction coefficient"};
    return i < 3 ? names[i] : "line";
}

std::shared_ptr<const Table> parse_table(std::string_view bytes, const std::string& file) {
    auto table = std::make_shared<Table>();
    table->file = file;
    for_each_line(bytes, file, table_field, [&](const Fields& f, long line) {
        if (f.count != 3)
            fail(file, line, "line",
                 "expected 3 fields (wavelength in nm, index, extinction coefficient), found " +
                     std::to_string(f.count));
        const double w = number(f[0], file, line, "wavelength");
        if (!(w > 0)) fail(file, line, "wavelength", "'" + escaped(f[0]) + "' is not positive");
        if (!table->wavelength_nm.empty() && !(w > table->wavelength_nm.back()))
            fail(file, line, "wavelength", "'" + escaped(f[0]) + "' nm is not above the previous row's wavelength");
        const double n = number(f[1], file, line, "index"), k = number(f[2], file, line, "extinction coefficient");
        check(index_problem(n), file, line, "index");
        check(extinction_problem(k), file, line, "extinction coefficient");
        table->wavelength_nm.push_back(w);
        table->n.push_back(n);
        table->k.push_back(k);
    });
    if (table->wavelength_nm.size() < 2)
        throw InputError(escaped(file) + ": a table needs at least two rows, found " +
                         std::to_string(table->wavelength_nm.size()));
    return table;
}

// ---------------------------------------------------------------- design lines

enum class Kind { layer, named_layer, definition, statement };

// The statements of a design's media, with the field their values stand in.
struct Statement {
    const char* keyword;
    const char* field;
};
constexpr Statement statements[] = {{"incident", "incident"},
                                    {"substrate", "substrate"},
                                    {"substrate_thickness", "substrate thickness"},
                                    {"exit", "exit"},
                                    {"back", "line"}};

const Statement* statement_of(std::string_view word) {
    for (const Statement& s : statements)
        if (word == s.keyword) return &s;
    return nullptr;
}

bool numeric(std::string_view field) { return std::strchr("0123456789+-.", field[0]) != nullptr; }

Kind kind_of(const Fields& f) {
    if (f[0] == "material") return Kind::definition;
    if (statement_of(f[0]) != nullptr) return Kind::statement;
    return numeric(f[0]) ? Kind::layer : Kind::named_layer;
}

// A layer's fields from position `first` on.
const char* layer_field(const Fields& f, size_t first, size_t i) {
    static const char* const fixed[] = {"index", "extinction coefficient", "thickness"};
    if (i < first) return "line";
    i -= first;
    if (f.count > first && numeric(f[first])) return i < 3 ? fixed[i] : "line";
    return i == 0 ? "material" : i == 1 ? "thickness" : "line";
}

const char* design_field(const Fields& f, size_t i) {
    switch (kind_of(f)) {
        case Kind::layer:
        case Kind::named_layer:
            return layer_field(f, 0, i);
        case Kind::definition:
            if (i == 1) return "name";
            if (i == 2) return "model";
            if (i == 3 && f.count > 2 && f[2] == "table") return "table file";
            if (i == 3 && f.count > 2 && f[2] == "database") return "page";
            return "parameter";
        case Kind::statement: {
            const std::string_view keyword = f[0];
            if (keyword == "back") return layer_field(f, 1, i);
            if (keyword == "substrate_thickness") return i == 1 ? "substrate thickness" : "line";
            // incident, substrate, exit: N [K] or NAME
            if (i == 1) return numeric(f[1]) ? "index" : "material";
            if (i == 2 && keyword != "incident" && numeric(f[1])) return "extinction coefficient";
            return "line";
        }
    }
    return "line";
}

bool valid_name(std::string_view s) {
    auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    if (s.empty() || s.size() > 64 || !letter(s[0]) || s == "material" || statement_of(s) != nullptr) return false;
    for (const char c : s.substr(1))
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '.' && c != '+' && c != '-') return false;
    return true;
}

const Library& library_of(Design& design) {
    if (!design.library) design.library = read_library(design.library_folder);
    return *design.library;
}

Material database_material(std::string name, std::shared_ptr<const Dispersion> data, std::string page) {
    Material m;
    m.name = std::move(name);
    m.model = Model::database;
    m.data = std::move(data);
    m.page = std::move(page);
    return m;
}

class DesignParser {
public:
    DesignParser(const std::string& source, FileKind kind, Design& design)
        : file_(source), kind_(kind), design_(design) {
        for (size_t m = 0; m < design.materials.size(); ++m) names_[design.materials[m].name] = static_cast<int>(m);
    }

    void line(const Fields& f, long line) {
        const Kind kind = kind_of(f);
        if (kind == Kind::definition) return define(f, line);
        if (kind == Kind::statement) return statement(f, line);
        if (kind_ == FileKind::materials) fail(file_, line, "layer", "a materials file holds no layers");
        add_layer(layer_of(f, 0, line), kind_ == FileKind::back ? design_.back : design_.layers, line);
    }

    // The checks that need the whole file.
    void end() {
        if (thickness_line_ > 0) return;
        if (exit_line_ > 0) fail(file_, exit_line_, "exit", "needs substrate_thickness in the same file");
        if (back_line_ > 0)
            fail(file_, back_line_, "substrate thickness", "a back layer needs substrate_thickness in the same file");
    }

private:
    // ---- layers and media

    Layer layer_of(const Fields& f, size_t first, long line) {
        const size_t given = f.count - first;
        Layer layer;
        if (numeric(f[first])) {
            if (given != 3)
                fail(file_, line, "line",
                     "expected 3 fields (index, extinction coefficient, thickness in nm)" +
                         std::string(first > 0 ? " after 'back'" : "") + ", found " + std::to_string(given));
            static_cast<Medium&>(layer) = fixed_medium(f[first], f[first + 1], line);
        } else {
            if (given != 2)
                fail(file_, line, "line",
                     "expected 2 fields (material, thickness in nm)" + std::string(first > 0 ? " after 'back'" : "") +
                         ", found " + std::to_string(given));
            layer.material = named(f[first], line);
        }
        layer.thickness_nm = number(f[f.count - 1], file_, line, "thickness");
        check(thickness_problem(layer.thickness_nm), file_, line, "thickness");
        return layer;
    }

    void add_layer(const Layer& layer, std::vector<Layer>& to, long line) {
        if (design_.layers.size() + design_.back.size() >= max_layers)
            fail(file_, line, "layer",
                 "more than " + std::to_string(max_layers) + " layers (front and back), more than sardune-spectrum "
                 "computes within its 32 MiB workspace");
        to.push_back(layer);
    }

    Medium fixed_medium(std::string_view n, std::string_view k, long line) {
        Medium m;
        m.n = number(n, file_, line, "index");
        m.k = k.empty() ? 0.0 : number(k, file_, line, "extinction coefficient");
        check(index_problem(m.n), file_, line, "index");
        check(extinction_problem(m.k), file_, line, "extinction coefficient");
        return m;
    }

    int named(std::string_view name, long line) {
        const int m = lookup(name);
        if (m < 0) fail(file_, line, "material", "unknown material '" + escaped(name) + "'");
        return m;
    }

    // Defined so far, or built in (then added to the design).
    int lookup(std::string_view name) {
        const auto known = names_.find(std::string(name));
        if (known != names_.end()) return known->second;
        const int m = find_material(design_, name);
        if (m >= 0) names_[std::string(name)] = m;
        return m;
    }

    void statement(const Fields& f, long line) {
        const Statement& s = *statement_of(f[0]);
        const bool back = f[0] == "back";
        if (kind_ == FileKind::materials)
            fail(file_, line, back ? "layer" : s.field,
                 back ? "a materials file holds no layers" : "a materials file holds definitions only");
        if (kind_ == FileKind::back)
            fail(file_, line, s.field, "a back-coating file holds layers and definitions only");
        if (back) {
            if (f.count < 2) fail(file_, line, "line", "expected a layer after 'back'");
            if (back_line_ == 0) back_line_ = line;
            return add_layer(layer_of(f, 1, line), design_.back, line);
        }
        long& given = f[0] == "incident" ? incident_line_ : f[0] == "substrate" ? substrate_line_
                      : f[0] == "exit"   ? exit_line_
                                         : thickness_line_;
        if (given > 0) fail(file_, line, s.field, "already given at line " + std::to_string(given));
        given = line;
        if (f[0] == "substrate_thickness") {
            if (f.count != 2) fail(file_, line, s.field, "expected 'substrate_thickness MM', found " + fields(f));
            const double mm = number(f[1], file_, line, s.field);
            if (!(mm > 0 && mm <= max_substrate_thickness_mm))
                fail(file_, line, s.field, "MM " + shortest(mm) + " is outside 0 < MM <= 1000");
            design_.substrate_thickness_mm = mm;
            return;
        }
        const bool incident = f[0] == "incident";
        const bool fixed = f.count > 1 && numeric(f[1]);
        const size_t expected = fixed && !incident ? 3 : 2;
        if (f.count != expected)
            fail(file_, line, s.field,
                 "expected '" + std::string(f[0]) + (incident ? " N" : " N K") + "' or '" + std::string(f[0]) +
                     " NAME', found " + fields(f));
        Medium m;
        if (fixed)
            m = fixed_medium(f[1], incident ? std::string_view() : f[2], line);
        else
            m.material = named(f[1], line);
        if (incident) design_.incident = m;
        else if (f[0] == "substrate") design_.substrate = m;
        else design_.exit = m, design_.exit_given = true;
    }

    static std::string fields(const Fields& f) { return std::to_string(f.count) + " fields"; }

    // ---- definitions

    void define(const Fields& f, long line) {
        if (f.count < 2) fail(file_, line, "name", "missing after 'material'");
        const std::string name(f[1]);
        if (!valid_name(name))
            fail(file_, line, "name",
                 "'" + escaped(name) + "' is not a name (a letter or _, then letters, digits, _ . + -; at most 64 "
                                       "bytes; not 'material' nor a statement such as 'substrate')");
        if (const auto known = names_.find(name); known != names_.end()) {
            const Material& m = design_.materials[known->second];
            fail(file_, line, "name",
                 name + ": " + (m.file.empty()          ? std::string("built in")
                                : m.file == file_ ? "already defined at line " + std::to_string(m.line)
                                                  : "already defined at " + escaped(m.file) + ":" +
                                                        std::to_string(m.line)));
        }
        if (library_of(design_).find(name) != nullptr) fail(file_, line, "name", name + ": built in");
        if (f.count < 3) fail(file_, line, "model", "missing (constant, cauchy, sellmeier, table or database)");
        Material m;
        const std::string_view model = f[2];
        if (model == "constant")
            constant(f, line, m);
        else if (model == "cauchy")
            cauchy(f, line, m);
        else if (model == "sellmeier")
            sellmeier(f, line, m);
        else if (model == "table")
            table(f, line, m);
        else if (model == "database")
            database(f, line, m);
        else
            fail(file_, line, "model",
                 "unknown model '" + escaped(model) + "' (constant, cauchy, sellmeier, table or database)");
        m.name = name;
        m.file = file_;
        m.line = line;
        names_[name] = static_cast<int>(design_.materials.size());
        design_.materials.push_back(std::move(m));
    }

    double parameter(const Fields& f, size_t i, long line) { return number(f[i], file_, line, "parameter"); }

    void constant(const Fields& f, long line, Material& m) {
        if (f.count != 5) fail(file_, line, "parameter", "constant takes N K, found " + parameters(f));
        m.model = Model::constant;
        m.terms = {parameter(f, 3, line)};
        m.extinction = Extinction::constant;
        m.k = parameter(f, 4, line);
        check(index_problem(m.terms[0]), file_, line, "parameter");
        check(extinction_problem(m.k), file_, line, "parameter");
    }

    void cauchy(const Fields& f, long line, Material& m) {
        const bool plain = f.count == 6, with_k = f.count == 8 && f[6] == "k",
                   urbach = f.count == 10 && f[6] == "urbach";
        if (!plain && !with_k && !urbach)
            fail(file_, line, "parameter", "cauchy takes A B C [k K | urbach K0 E0 EU], found " + parameters(f));
        m.model = Model::cauchy;
        m.terms = {parameter(f, 3, line), parameter(f, 4, line), parameter(f, 5, line)};
        if (with_k) constant_extinction(f, 7, line, m);
        if (urbach) {
            m.extinction = Extinction::urbach;
            m.urbach_k0 = parameter(f, 7, line);
            m.urbach_e0_ev = parameter(f, 8, line);
            m.urbach_eu_ev = parameter(f, 9, line);
            if (!(m.urbach_eu_ev > 0)) fail(file_, line, "parameter", "EU '" + escaped(f[9]) + "' is not positive");
        }
    }

    void sellmeier(const Fields& f, long line, Material& m) {
        const bool with_k = f.count >= 5 && f.count <= Fields::kept && f[f.count - 2] == "k";
        const size_t terms = f.count - 3 - (with_k ? 2 : 0);
        if (terms < 2 || terms > 12 || terms % 2 != 0)
            fail(file_, line, "parameter", "sellmeier takes 1 to 6 pairs B C, then [k K], found " + parameters(f));
        m.model = Model::sellmeier;
        for (size_t i = 0; i < terms; ++i) m.terms.push_back(parameter(f, 3 + i, line));
        if (with_k) constant_extinction(f, f.count - 1, line, m);
    }

    void constant_extinction(const Fields& f, size_t i, long line, Material& m) {
        m.extinction = Extinction::constant;
        m.k = parameter(f, i, line);
        check(extinction_problem(m.k), file_, line, "parameter");
    }

    void table(const Fields& f, long line, Material& m) {
        if (f.count != 4) fail(file_, line, "table file", "table takes one file name, found " + parameters(f));
        const std::string path = beside(file_, f[3]);
        m.model = Model::table;
        if (auto cached = tables_.find(path); cached != tables_.end()) {
            m.table = cached->second;
            return;
        }
        std::string bytes;
        try {
            bytes = read_bounded(path, max_file_bytes);
        } catch (const InputError& e) {
            fail(file_, line, "table file", e.what());
        }
        m.table = tables_[path] = parse_table(bytes, path);
    }

    // PAGE ending in .yml: a data file beside this one; otherwise a page of
    // the user's database.
    void database(const Fields& f, long line, Material& m) {
        if (f.count != 4) fail(file_, line, "page", "database takes one page or .yml file, found " + parameters(f));
        const std::string_view page = f[3];
        std::string path;
        if (ends_with(page, ".yml")) {
            path = beside(file_, page);
        } else {
            if (design_.database.empty())
                fail(file_, line, "page",
                     "'" + escaped(page) + "' is a page of a database: give its folder (--database DIR or "
                                           "SARDUNE_DATABASE)");
            try {
                path = page_file(design_.database, page);
            } catch (const InputError& e) {
                fail(file_, line, "page", e.what());
            }
        }
        auto cached = data_.find(path);
        if (cached == data_.end()) {
            std::string bytes;
            try {
                bytes = read_bounded(path, max_yaml_bytes);
            } catch (const InputError& e) {
                fail(file_, line, "page", e.what());
            }
            cached = data_.emplace(path, parse_database_file(bytes, path)).first;
        }
        m = database_material({}, cached->second, std::string(page));
    }

    static std::string parameters(const Fields& f) {
        const size_t n = f.count - 3;
        return std::to_string(n) + (n == 1 ? " parameter" : " parameters");
    }

    const std::string& file_;
    const FileKind kind_;
    Design& design_;
    std::unordered_map<std::string, int> names_;
    // A table or data file named by several materials is read once.
    std::map<std::string, std::shared_ptr<const Table>> tables_;
    std::map<std::string, std::shared_ptr<const Dispersion>> data_;
    // Lines of the statements given (0: not given).
    long incident_line_ = 0, substrate_line_ = 0, thickness_line_ = 0, exit_line_ = 0, back_line_ = 0;
};

// ---------------------------------------------------------------- written form

// A path or page as one field of a line: visible ASCII, no comment sign.
std::string writable(const std::string& text, const Material& m) {
    for (const char c : text)
        if (!visible(static_cast<unsigned char>(c)) || c == '#')
            throw InputError("material " + m.name + ": '" + escaped(text) +
                             "' cannot be written in a design file (a space, '#' or a byte outside printable ASCII)");
    return text;
}

std::string absolute(const std::string& path) {
    return std::filesystem::absolute(path).lexically_normal().string();
}

std::string definition(const Material& m) {
    std::string line = "material " + m.name;
    auto add = [&line](double v) { line += " " + round_trip(v); };
    switch (m.model) {
        case Model::constant:
            line += " constant";
            add(m.terms[0]), add(m.k);
            break;
        case Model::cauchy:
            line += " cauchy";
            for (const double t : m.terms) add(t);
            if (m.extinction == Extinction::constant && m.k != 0) line += " k", add(m.k);
            if (m.extinction == Extinction::urbach)
                line += " urbach", add(m.urbach_k0), add(m.urbach_e0_ev), add(m.urbach_eu_ev);
            break;
        case Model::sellmeier:
            line += " sellmeier";
            for (const double t : m.terms) add(t);
            if (m.extinction == Extinction::constant && m.k != 0) line += " k", add(m.k);
            break;
        case Model::table:
            line += " table " + writable(absolute(m.table->file), m);
            break;
        case Model::database:
            line += " database " + writable(ends_with(m.page, ".yml") ? absolute(m.data->file) : m.page, m);
            break;
    }
    return line + "\n";
}

}  // namespace

Design empty_design() { return Design{}; }

std::string default_design_file() {
    // The package holds the design beside its materials; both are installed so.
    return std::filesystem::path(library_folder()).parent_path().append("default.design").string();
}

Design default_design() {
    Design d = empty_design();
    const std::string file = default_design_file();
    try {
        read_design_file(file, d);
    } catch (const InputError& e) {
        throw InputError(std::string("the built-in default design cannot be read: ") + e.what());
    }
    return d;
}

void parse_design(std::string_view bytes, const std::string& source, FileKind kind, Design& design) {
    DesignParser parser(source, kind, design);
    for_each_line(bytes, source, design_field, [&](const Fields& f, long line) { parser.line(f, line); });
    parser.end();
}

void read_materials_file(const std::string& path, Design& design) {
    parse_design(read_bounded(path, max_file_bytes), path, FileKind::materials, design);
}

void read_design_file(const std::string& path, Design& design) {
    parse_design(read_bounded(path, max_file_bytes), path, FileKind::design, design);
}

void read_back_file(const std::string& path, Design& design) {
    parse_design(read_bounded(path, max_file_bytes), path, FileKind::back, design);
}

int find_material(Design& design, std::string_view name) {
    for (size_t m = 0; m < design.materials.size(); ++m)
        if (design.materials[m].name == name) return static_cast<int>(m);
    if (!valid_name(name)) return -1;
    const LibraryEntry* entry = library_of(design).find(name);
    if (entry == nullptr) return -1;
    design.materials.push_back(database_material(entry->name, read_database_file(entry->file), {}));
    return static_cast<int>(design.materials.size() - 1);
}

Medium medium_option(Design& design, std::string_view text, double k, const std::string& option) {
    Medium medium;
    if (!text.empty() && numeric(text)) {
        double v = 0;
        const NumberStatus status = parse_number(text, v);
        if (status != NumberStatus::ok) throw InputError(option + ": " + number_problem(text, status));
        medium.n = v, medium.k = k;
        return medium;
    }
    medium.material = find_material(design, text);
    if (medium.material >= 0) return medium;
    const bool file = ends_with(text, ".yml"), page = !file && text.find('/') != std::string_view::npos;
    if (!file && !page)
        throw InputError(option + ": unknown material '" + escaped(text) +
                         "' (a number, a built-in name, a material of the design, a database page or a .yml file)");
    std::string path(text);
    if (page) {
        if (design.database.empty())
            throw InputError(option + ": '" + escaped(text) +
                             "' is a page of a database: give its folder (--database DIR or SARDUNE_DATABASE)");
        try {
            path = page_file(design.database, text);
        } catch (const InputError& e) {
            throw InputError(option + ": " + e.what());
        }
    }
    // Named after the page's last part, made a name no other material has.
    const std::string_view last = text.substr(text.rfind('/') + 1);
    std::string base(last.substr(0, file ? last.size() - 4 : last.size()));
    for (char& c : base)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.' && c != '+' && c != '-') c = '_';
    if (base.empty() || !std::isalpha(static_cast<unsigned char>(base[0]))) base.insert(0, "m_");
    base.resize(std::min<size_t>(base.size(), 56));
    std::string name = base;
    auto taken = [&design](const std::string& n) {
        return std::any_of(design.materials.begin(), design.materials.end(),
                           [&n](const Material& m) { return m.name == n; }) ||
               library_of(design).find(n) != nullptr;
    };
    for (int i = 2; !valid_name(name) || taken(name); ++i) name = base + "_" + std::to_string(i);
    Material m = database_material(name, read_database_file(path), std::string(text));
    m.file = option;
    design.materials.push_back(std::move(m));
    medium.material = static_cast<int>(design.materials.size() - 1);
    return medium;
}

std::string write_design(const Design& d) {
    // Definitions of the materials used that are not built in, by first use.
    std::vector<bool> written(d.materials.size(), false);
    std::string definitions;
    auto use = [&](const Medium& m) {
        if (m.material < 0 || written[m.material]) return;
        written[m.material] = true;
        const Material& material = d.materials[m.material];
        if (!material.file.empty()) definitions += definition(material);
    };
    use(d.incident), use(d.substrate);
    if (d.thick()) use(d.exit_medium());
    for (const Layer& l : d.layers) use(l);
    if (d.thick())
        for (const Layer& l : d.back) use(l);

    auto medium = [&d](const Medium& m, bool with_k) {
        if (m.material >= 0) return d.materials[m.material].name;
        return round_trip(m.n) + (with_k ? " " + round_trip(m.k) : std::string());
    };
    std::string text = "# sardune design file: layers from the substrate up\n" + definitions;
    text += "incident " + medium(d.incident, false) + "\n";
    text += "substrate " + medium(d.substrate, true) + "\n";
    if (d.thick()) {
        text += "substrate_thickness " + round_trip(d.substrate_thickness_mm) + "\n";
        text += "exit " + medium(d.exit_medium(), true) + "\n";
    }
    for (const Layer& l : d.layers) text += medium(l, true) + " " + round_trip(l.thickness_nm) + "\n";
    if (d.thick())
        for (const Layer& l : d.back) text += "back " + medium(l, true) + " " + round_trip(l.thickness_nm) + "\n";
    return text;
}

}  // namespace spectrum
