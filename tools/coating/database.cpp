#include "database.hpp"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/exceptions.h>
#include <yaml-cpp/mark.h>
#include <yaml-cpp/parser.h>

#include "text.hpp"

namespace spectrum {

namespace {

// ---------------------------------------------------------------- a small tree of the document

// yaml-cpp's own nodes take some 400 bytes each, so that a file of a few MiB
// of tiny items would take gigabytes; the tree is built from the parser's
// events instead, and a data file has no more than a few hundred nodes.
constexpr size_t max_nodes = 10000;

struct Node {
    enum Kind { null, scalar, sequence, map } kind = null;
    long line = 0;         // from 1
    bool literal = false;  // a scalar in the literal block style, rows on the lines after its '|'
    std::string text;
    std::vector<Node> items;  // a map's keys and values alternate

    const Node* value(std::string_view key) const {
        for (size_t i = 0; i + 1 < items.size(); i += 2)
            if (items[i].kind == scalar && items[i].text == key) return &items[i + 1];
        return nullptr;
    }
};

[[noreturn]] void fail(const std::string& file, long line, const std::string& field, const std::string& problem) {
    throw InputError(escaped(file) + ":" + std::to_string(line) + ": " + field + ": " + problem);
}

class TreeBuilder : public YAML::EventHandler {
public:
    TreeBuilder(std::string_view bytes, const std::string& file) : bytes_(bytes), file_(file) {}
    Node root;

    void OnDocumentStart(const YAML::Mark&) override {}
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark& mark, YAML::anchor_t) override { add(Node::null, mark); }
    // A data file has no anchors; an alias stands for nothing this reader takes.
    void OnAlias(const YAML::Mark& mark, YAML::anchor_t) override { add(Node::null, mark); }
    void OnScalar(const YAML::Mark& mark, const std::string&, YAML::anchor_t, const std::string& value) override {
        Node& n = add(Node::scalar, mark);
        n.text = value;
        n.literal = mark.pos >= 0 && size_t(mark.pos) < bytes_.size() && bytes_[mark.pos] == '|';
    }
    void OnSequenceStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t,
                         YAML::EmitterStyle::value) override {
        open_.push_back(&add(Node::sequence, mark));
    }
    void OnSequenceEnd() override { open_.pop_back(); }
    void OnMapStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t, YAML::EmitterStyle::value) override {
        open_.push_back(&add(Node::map, mark));
    }
    void OnMapEnd() override { open_.pop_back(); }

private:
    // Only the innermost open node grows, so the pointers to the others stay valid.
    Node& add(Node::Kind kind, const YAML::Mark& mark) {
        if (++count_ > max_nodes)
            fail(file_, mark.line + 1, "YAML", "more than " + std::to_string(max_nodes) + " nodes");
        Node* target = nullptr;
        if (open_.empty()) {
            target = &root;
        } else {
            Node& parent = *open_.back();
            if (parent.kind == Node::map && parent.items.size() % 2 == 0 && kind != Node::scalar)
                fail(file_, mark.line + 1, "YAML", "a key that is not a plain scalar");
            parent.items.emplace_back();
            target = &parent.items.back();
        }
        target->kind = kind;
        target->line = mark.line + 1;
        return *target;
    }

    std::string_view bytes_;
    const std::string& file_;
    std::vector<Node*> open_;
    size_t count_ = 0;
};

Node parse_yaml(std::string_view bytes, const std::string& file) {
    std::istringstream in{std::string(bytes)};
    TreeBuilder builder(bytes, file);
    try {
        YAML::Parser parser(in);
        parser.HandleNextDocument(builder);
    } catch (const YAML::Exception& e) {
        fail(file, e.mark.line + 1, "YAML", escaped(e.msg));
    }
    // An empty document has no node: its messages name line 1.
    builder.root.line = std::max(builder.root.line, 1L);
    return std::move(builder.root);
}

// ---------------------------------------------------------------- numbers

double number(std::string_view text, const std::string& file, long line, const std::string& field) {
    double v = 0;
    const NumberStatus status = parse_number(text, v);
    if (status != NumberStatus::ok) fail(file, line, field, number_problem(text, status));
    return v;
}

// A wavelength in um as nm, exactly as its decimal text says: the exponent
// is raised by 3, so that 0.3791 um is 379.1 nm, not 379.09999999999997.
double nanometres(std::string_view text, const std::string& file, long line, const std::string& field) {
    number(text, file, line, field);  // the grammar's number, so the exponent is [+-]?[0-9]+
    const size_t e = std::min(text.find_first_of("eE"), text.size());
    long exponent = 0;
    if (e < text.size()) {
        const bool negative = text[e + 1] == '-';
        for (const char c : text.substr(e + 1))
            if (c >= '0' && c <= '9') exponent = std::min(exponent * 10 + (c - '0'), 100000L);
        if (negative) exponent = -exponent;
    }
    double nm = 0;
    const std::string shifted = std::string(text.substr(0, e)) + "e" + std::to_string(exponent + 3);
    if (parse_number(shifted, nm) != NumberStatus::ok)
        fail(file, line, field, number_problem(text, NumberStatus::out_of_range));
    if (!(nm > 0)) fail(file, line, field, "wavelength " + escaped(text) + " um is not positive");
    return nm;
}

std::vector<std::string_view> fields_of(std::string_view text) {
    std::vector<std::string_view> fields;
    size_t pos = 0;
    for (std::string_view f; !(f = next_field(text, pos)).empty();) fields.push_back(f);
    return fields;
}

// ---------------------------------------------------------------- data items

const Node& scalar_value(const Node& item, std::string_view key, const std::string& file) {
    const Node* v = item.value(key);
    if (v == nullptr) fail(file, item.line, std::string(key), "missing");
    if (v->kind != Node::scalar) fail(file, v->line, std::string(key), "expected a text of numbers");
    return *v;
}

// Numbers of coefficients a formula takes: C1 and whole terms.
bool coefficient_count_fits(int formula, size_t count) {
    switch (formula) {
        case 1: case 2: case 3: case 5: case 6:
            return count % 2 == 1 && count <= 17;
        case 4:
            return count == 1 || count == 5 || (count >= 9 && count % 2 == 1 && count <= 17);
        case 7:
            return count >= 1 && count <= 6;
        case 8:
            return count == 1 || count == 3 || count == 4;
        case 9:
            return count == 1 || count == 3 || count == 6;
    }
    return false;
}

const char* coefficient_counts(int formula) {
    switch (formula) {
        case 4: return "1, 5, 9, 11, 13, 15 or 17";
        case 7: return "1 to 6";
        case 8: return "1, 3 or 4";
        case 9: return "1, 3 or 6";
    }
    return "C1 and up to 8 pairs: 1, 3, ..., 17";
}

struct Item {
    enum Source { formula, tabulated_nk, tabulated_n, tabulated_k } source = formula;
    long line = 0;
    int formula_number = 0;
    std::vector<double> coefficients;
    double from_nm = 0, to_nm = 0;
    std::vector<double> wavelength_nm, n, k;
};

void read_formula(const Node& node, const std::string& file, Item& item) {
    const Node& range = scalar_value(node, "wavelength_range", file);
    const auto bounds = fields_of(range.text);
    if (bounds.size() != 2) fail(file, range.line, "wavelength_range", "expected LO HI in um");
    item.from_nm = nanometres(bounds[0], file, range.line, "wavelength_range");
    item.to_nm = nanometres(bounds[1], file, range.line, "wavelength_range");
    if (!(item.to_nm > item.from_nm))
        fail(file, range.line, "wavelength_range", "'" + escaped(range.text) + "' is not an interval LO < HI");
    const Node& c = scalar_value(node, "coefficients", file);
    for (const std::string_view f : fields_of(c.text)) item.coefficients.push_back(number(f, file, c.line, "coefficients"));
    if (!coefficient_count_fits(item.formula_number, item.coefficients.size()))
        fail(file, c.line, "coefficients",
             "formula " + std::to_string(item.formula_number) + " takes " + coefficient_counts(item.formula_number) +
                 " coefficients, found " + std::to_string(item.coefficients.size()));
}

void read_rows(const Node& node, const std::string& file, Item& item) {
    const Node& data = scalar_value(node, "data", file);
    const size_t columns = item.source == Item::tabulated_nk ? 3 : 2;
    const char* usage = item.source == Item::tabulated_nk ? "lambda n k"
                        : item.source == Item::tabulated_n ? "lambda n"
                                                           : "lambda k";
    std::string_view rest = data.text;
    for (long row = 0; !rest.empty(); ++row) {
        const size_t end = std::min(rest.find('\n'), rest.size());
        const std::string_view text = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        const auto f = fields_of(text);
        if (f.empty()) continue;
        // The rows of a literal block start on the line after its '|'.
        const long line = data.literal ? data.line + 1 + row : data.line;
        if (f.size() != columns)
            fail(file, line, "data",
                 "expected " + std::to_string(columns) + " numbers (" + usage + ") per row, found " +
                     std::to_string(f.size()));
        const double w = nanometres(f[0], file, line, "data");
        if (!item.wavelength_nm.empty() && !(w > item.wavelength_nm.back()))
            fail(file, line, "data", "wavelength " + escaped(f[0]) + " um is not above the previous row's");
        item.wavelength_nm.push_back(w);
        if (item.source != Item::tabulated_k) {
            const double n = number(f[1], file, line, "data");
            if (!(n > 0)) fail(file, line, "data", "n " + escaped(f[1]) + " is not positive");
            item.n.push_back(n);
        }
        if (item.source != Item::tabulated_n) {
            const std::string_view text_k = f[columns - 1];
            const double k = number(text_k, file, line, "data");
            if (!(k >= 0))
                fail(file, line, "data", "k " + escaped(text_k) + " is negative (absorption has k >= 0, n + ik)");
            item.k.push_back(k);
        }
    }
    if (item.wavelength_nm.size() < 2)
        fail(file, data.line, "data", "expected at least two rows, found " + std::to_string(item.wavelength_nm.size()));
    item.from_nm = item.wavelength_nm.front(), item.to_nm = item.wavelength_nm.back();
}

Item read_item(const Node& node, const std::string& file) {
    if (node.kind != Node::map) fail(file, node.line, "DATA", "expected an item with a type");
    const Node* type = node.value("type");
    if (type == nullptr) fail(file, node.line, "type", "missing");
    Item item;
    item.line = node.line;
    const std::string t = type->kind == Node::scalar ? type->text : std::string();
    if (t.size() == 9 && t.rfind("formula ", 0) == 0 && t[8] >= '1' && t[8] <= '9') {
        item.formula_number = t[8] - '0';
        read_formula(node, file, item);
        return item;
    }
    if (t == "tabulated nk") item.source = Item::tabulated_nk;
    else if (t == "tabulated n") item.source = Item::tabulated_n;
    else if (t == "tabulated k") item.source = Item::tabulated_k;
    else fail(file, type->line, "type",
              "unknown type '" + escaped(t) + "' (formula 1 to 9, tabulated nk, tabulated n or tabulated k)");
    read_rows(node, file, item);
    return item;
}

}  // namespace

std::shared_ptr<const Dispersion> parse_database_file(std::string_view bytes, const std::string& file) {
    const Node root = parse_yaml(bytes, file);
    if (root.kind != Node::map) fail(file, root.line, "DATA", "missing: this is no data file of the database");
    const Node* data = root.value("DATA");
    if (data == nullptr) fail(file, root.line, "DATA", "missing: this is no data file of the database");
    if (data->kind != Node::sequence || data->items.empty() || data->items.size() > 2)
        fail(file, data->line, "DATA", "expected a list of one or two items");

    auto d = std::make_shared<Dispersion>();
    d->file = file;
    const Item* n_item = nullptr;
    const Item* k_item = nullptr;
    std::vector<Item> items;
    for (const Node& node : data->items) items.push_back(read_item(node, file));
    for (const Item& item : items) {
        const bool gives_n = item.source != Item::tabulated_k, gives_k = item.source == Item::tabulated_nk ||
                                                                          item.source == Item::tabulated_k;
        if ((gives_n && n_item != nullptr) || (gives_k && k_item != nullptr))
            fail(file, item.line, "DATA", std::string(gives_n && n_item ? "n" : "k") + " is already given at line " +
                                              std::to_string((gives_n && n_item ? n_item : k_item)->line));
        if (gives_n) n_item = &item;
        if (gives_k) k_item = &item;
    }
    if (n_item == nullptr) fail(file, data->line, "DATA", "no n: a formula, tabulated n or tabulated nk is needed");
    if (n_item->source == Item::formula) {
        d->formula = n_item->formula_number;
        d->coefficients = n_item->coefficients;
    } else {
        d->n_wavelength_nm = n_item->wavelength_nm;
        d->n = n_item->n;
    }
    d->from_nm = n_item->from_nm, d->to_nm = n_item->to_nm;
    if (k_item != nullptr) {
        d->k_wavelength_nm = k_item->wavelength_nm;
        d->k = k_item->k;
        // Where the data say something about both.
        d->from_nm = std::max(d->from_nm, k_item->from_nm), d->to_nm = std::min(d->to_nm, k_item->to_nm);
        if (!(d->from_nm <= d->to_nm))
            fail(file, k_item->line, "DATA", "the wavelengths of k do not meet those of n");
    }
    return d;
}

std::shared_ptr<const Dispersion> read_database_file(const std::string& path) {
    return parse_database_file(read_bounded(path, max_yaml_bytes), path);
}

// ---------------------------------------------------------------- the built-in library

const LibraryEntry* Library::find(std::string_view name) const {
    for (const LibraryEntry& e : entries)
        if (e.name == name) return &e;
    return nullptr;
}

std::string library_folder() {
    // The program's own path, which the kernel knows whatever the current folder.
    std::string exe(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", exe.data(), exe.size());
    exe.resize(length > 0 ? size_t(length) : 0);
    const std::string bin = exe.substr(0, exe.rfind('/') + 1);
    return std::filesystem::path(bin + SARDUNE_MATERIALS_FROM_BIN).lexically_normal().string();
}

std::shared_ptr<const Library> read_library(const std::string& folder) {
    const std::string file = folder + "/index.yml";
    std::string bytes;
    try {
        bytes = read_bounded(file, max_yaml_bytes);
    } catch (const InputError& e) {
        throw InputError(std::string("the built-in materials library cannot be read: ") + e.what());
    }
    const Node root = parse_yaml(bytes, file);
    if (root.kind != Node::map) fail(file, root.line, "name", "expected a mapping of names to entries");
    auto library = std::make_shared<Library>();
    library->folder = folder;
    for (size_t i = 0; i + 1 < root.items.size(); i += 2) {
        const Node& name = root.items[i];
        const Node& entry = root.items[i + 1];
        if (entry.kind != Node::map) fail(file, entry.line, name.text, "expected file, description and reference");
        LibraryEntry e{name.text, {}, {}, {}};
        for (auto [key, target] : {std::pair{"file", &e.file}, std::pair{"description", &e.description},
                                   std::pair{"reference", &e.reference}}) {
            const Node* v = entry.value(key);
            if (v == nullptr || v->kind != Node::scalar) fail(file, entry.line, name.text + "." + key, "missing");
            *target = v->text;
        }
        e.file = folder + "/" + e.file;
        library->entries.push_back(std::move(e));
    }
    return library;
}

std::string page_file(const std::string& database_folder, std::string_view page) {
    // A page names a file inside the database's data/ folder, nothing else.
    bool ok = !page.empty() && page.front() != '/' && page.back() != '/';
    for (size_t start = 0; ok && start <= page.size();) {
        const size_t end = std::min(page.find('/', start), page.size());
        const std::string_view part = page.substr(start, end - start);
        ok = !part.empty() && part != "." && part != "..";
        start = end + 1;
    }
    for (const char c : page) ok = ok && static_cast<unsigned char>(c) >= 0x20 && c != 0x7f;
    if (!ok) throw InputError("'" + escaped(page) + "' is not a page of the database (such as main/SiO2/nk/Gao)");
    return database_folder + "/data/" + std::string(page) + ".yml";
}

}  // namespace spectrum
