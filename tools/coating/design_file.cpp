#include "design_file.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
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
    for (size_t pos = 0; pos < content.size();) {
        if (separator(content[pos])) {
            ++pos;
            continue;
        }
        size_t end = pos;
        while (end < content.size() && !separator(content[end])) ++end;
        if (f.count < Fields::kept) f.at[f.count] = content.substr(pos, end - pos);
        ++f.count;
        pos = end;
    }
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

enum class Kind { layer, named_layer, definition };

Kind kind_of(const Fields& f) {
    if (f[0] == "material") return Kind::definition;
    return std::strchr("0123456789+-.", f[0][0]) != nullptr ? Kind::layer : Kind::named_layer;
}

const char* design_field(const Fields& f, size_t i) {
    switch (kind_of(f)) {
        case Kind::layer: {
            static const char* const names[] = {"index", "extinction coefficient", "thickness"};
            return i < 3 ? names[i] : "line";
        }
        case Kind::named_layer:
            return i == 0 ? "material" : i == 1 ? "thickness" : "line";
        case Kind::definition:
            if (i == 1) return "name";
            if (i == 2) return "model";
            return i == 3 && f.count > 2 && f[2] == "table" ? "table file" : "parameter";
    }
    return "line";
}

bool valid_name(std::string_view s) {
    auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    if (s.empty() || s.size() > 64 || !letter(s[0]) || s == "material") return false;
    for (const char c : s.substr(1))
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '.' && c != '+' && c != '-') return false;
    return true;
}

class DesignParser {
public:
    DesignParser(const std::string& source, bool materials_only, Design& design)
        : file_(source), materials_only_(materials_only), design_(design) {
        for (size_t m = 0; m < design.materials.size(); ++m) names_[design.materials[m].name] = static_cast<int>(m);
    }

    void line(const Fields& f, long line) {
        const Kind kind = kind_of(f);
        if (kind == Kind::definition) return define(f, line);
        if (materials_only_) fail(file_, line, "layer", "a materials file holds no layers");
        if (kind == Kind::layer) return fixed_layer(f, line);
        named_layer(f, line);
    }

private:
    void fixed_layer(const Fields& f, long line) {
        if (f.count != 3)
            fail(file_, line, "line",
                 "expected 3 fields (index, extinction coefficient, thickness in nm), found " + std::to_string(f.count));
        Layer layer;
        layer.n = number(f[0], file_, line, "index");
        layer.k = number(f[1], file_, line, "extinction coefficient");
        layer.thickness_nm = number(f[2], file_, line, "thickness");
        check(index_problem(layer.n), file_, line, "index");
        check(extinction_problem(layer.k), file_, line, "extinction coefficient");
        check(thickness_problem(layer.thickness_nm), file_, line, "thickness");
        design_.layers.push_back(layer);
    }

    void named_layer(const Fields& f, long line) {
        if (f.count != 2)
            fail(file_, line, "line", "expected 2 fields (material, thickness in nm), found " + std::to_string(f.count));
        const auto known = names_.find(std::string(f[0]));
        if (known == names_.end()) fail(file_, line, "material", "unknown material '" + escaped(f[0]) + "'");
        Layer layer;
        layer.material = known->second;
        layer.thickness_nm = number(f[1], file_, line, "thickness");
        check(thickness_problem(layer.thickness_nm), file_, line, "thickness");
        design_.layers.push_back(layer);
    }

    void define(const Fields& f, long line) {
        if (f.count < 2) fail(file_, line, "name", "missing after 'material'");
        const std::string name(f[1]);
        if (!valid_name(name))
            fail(file_, line, "name",
                 "'" + escaped(name) + "' is not a name (a letter or _, then letters, digits, _ . + -; at most 64 "
                                       "bytes; not 'material')");
        if (const auto known = names_.find(name); known != names_.end()) {
            const Material& m = design_.materials[known->second];
            fail(file_, line, "name",
                 name + ": " + (m.file.empty()          ? std::string("built in")
                                : m.file == file_ ? "already defined at line " + std::to_string(m.line)
                                                  : "already defined at " + escaped(m.file) + ":" +
                                                        std::to_string(m.line)));
        }
        if (f.count < 3) fail(file_, line, "model", "missing (constant, cauchy, sellmeier or table)");
        Material m;
        m.name = name;
        m.file = file_;
        m.line = line;
        const std::string_view model = f[2];
        if (model == "constant")
            constant(f, line, m);
        else if (model == "cauchy")
            cauchy(f, line, m);
        else if (model == "sellmeier")
            sellmeier(f, line, m);
        else if (model == "table")
            table(f, line, m);
        else
            fail(file_, line, "model",
                 "unknown model '" + escaped(model) + "' (constant, cauchy, sellmeier or table)");
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
        const std::string_view name = f[3];
        const std::string path =
            name[0] == '/' ? std::string(name) : file_.substr(0, file_.rfind('/') + 1) + std::string(name);
        m.model = Model::table;
        if (auto cached = tables_.find(path); cached != tables_.end()) {
            m.table = cached->second;
            return;
        }
        std::string bytes;
        try {
            bytes = read_bounded(path);
        } catch (const InputError& e) {
            fail(file_, line, "table file", e.what());
        }
        m.table = tables_[path] = parse_table(bytes, path);
    }

    static std::string parameters(const Fields& f) {
        const size_t n = f.count - 3;
        return std::to_string(n) + (n == 1 ? " parameter" : " parameters");
    }

    const std::string& file_;
    const bool materials_only_;
    Design& design_;
    std::unordered_map<std::string, int> names_;
    // A table named by several materials is read once.
    std::map<std::string, std::shared_ptr<const Table>> tables_;
};

}  // namespace

Design empty_design() { return Design{builtin_materials(), {}}; }

std::string read_bounded(const std::string& path) {
    if (path.empty()) throw InputError("empty file name");
    std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!in) throw InputError(escaped(path) + ": cannot open: " + std::strerror(errno));
    std::string bytes;
    char chunk[65536];
    // One byte beyond the limit tells a file of exactly 16 MiB from a larger one.
    while (bytes.size() <= max_file_bytes) {
        const size_t got = std::fread(chunk, 1, std::min(sizeof chunk, max_file_bytes + 1 - bytes.size()), in.get());
        bytes.append(chunk, got);
        if (got == 0) break;
    }
    if (std::ferror(in.get())) throw InputError(escaped(path) + ": cannot read: " + std::strerror(errno));
    if (bytes.size() > max_file_bytes) throw InputError(escaped(path) + ": larger than 16 MiB");
    return bytes;
}

void parse_design(std::string_view bytes, const std::string& source, bool materials_only, Design& design) {
    DesignParser parser(source, materials_only, design);
    for_each_line(bytes, source, design_field, [&](const Fields& f, long line) { parser.line(f, line); });
}

void read_materials_file(const std::string& path, Design& design) {
    parse_design(read_bounded(path), path, true, design);
}

void read_design_file(const std::string& path, Design& design) {
    parse_design(read_bounded(path), path, false, design);
    if (design.layers.empty()) throw InputError(escaped(path) + ": no layers");
}

}  // namespace spectrum
