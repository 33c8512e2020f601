#include "text.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace spectrum {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

size_t digits(std::string_view s, size_t at) {
    size_t end = at;
    while (end < s.size() && is_digit(s[end])) ++end;
    return end - at;
}

// Whether `s` is exactly one number of the grammar.
bool well_formed(std::string_view s) {
    size_t at = 0;
    if (at < s.size() && (s[at] == '+' || s[at] == '-')) ++at;
    const size_t whole = digits(s, at);
    at += whole;
    size_t fraction = 0;
    if (at < s.size() && s[at] == '.') {
        fraction = digits(s, at + 1);
        at += 1 + fraction;
    }
    if (whole == 0 && fraction == 0) return false;
    if (at < s.size() && (s[at] == 'e' || s[at] == 'E')) {
        ++at;
        if (at < s.size() && (s[at] == '+' || s[at] == '-')) ++at;
        const size_t exponent = digits(s, at);
        if (exponent == 0) return false;
        at += exponent;
    }
    return at == s.size();
}

// Power of ten of the first non-zero digit of a well-formed number, so that
// the number is at least 1 in magnitude exactly when this is >= 0; the
// exponent saturates rather than overflow. `s` has a non-zero digit.
long leading_power(std::string_view s) {
    const size_t start = s[0] == '+' || s[0] == '-' ? 1 : 0;
    const size_t e = std::min(s.find_first_of("eE"), s.size());
    const size_t point = std::min(s.find('.', start), e);
    const size_t first = s.find_first_of("123456789", start);
    const long power = first < point ? long(point - first) - 1 : -long(first - point);
    long exponent = 0;
    if (e < s.size()) {
        size_t at = e + 1;
        const bool negative = s[at] == '-';
        if (s[at] == '+' || s[at] == '-') ++at;
        for (; at < s.size(); ++at) exponent = std::min(exponent * 10 + (s[at] - '0'), 1000000000L);
        if (negative) exponent = -exponent;
    }
    return power + exponent;
}

}  // namespace

std::string read_bounded(const std::string& path, size_t limit) {
    if (path.empty()) throw InputError("empty file name");
    std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!in) throw InputError(escaped(path) + ": cannot open: " + std::strerror(errno));
    std::string bytes;
    char chunk[65536];
    // One byte beyond the limit tells a file of exactly the limit from a larger one.
    while (bytes.size() <= limit) {
        const size_t got = std::fread(chunk, 1, std::min(sizeof chunk, limit + 1 - bytes.size()), in.get());
        bytes.append(chunk, got);
        if (got == 0) break;
    }
    if (std::ferror(in.get())) throw InputError(escaped(path) + ": cannot read: " + std::strerror(errno));
    if (bytes.size() > limit) throw InputError(escaped(path) + ": larger than " + std::to_string(limit >> 20) + " MiB");
    return bytes;
}

std::string_view next_field(std::string_view text, size_t& pos) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (pos < text.size() && blank(text[pos])) ++pos;
    const size_t start = pos;
    while (pos < text.size() && !blank(text[pos])) ++pos;
    return text.substr(start, pos - start);
}

NumberStatus parse_number(std::string_view text, double& value) {
    if (!well_formed(text)) return NumberStatus::not_a_number;
    // from_chars takes no leading '+'.
    const std::string_view unsigned_part = text[0] == '+' ? text.substr(1) : text;
    const auto [end, ec] = std::from_chars(unsigned_part.data(), unsigned_part.data() + unsigned_part.size(), value);
    if (ec == std::errc() && end == unsigned_part.data() + unsigned_part.size()) return NumberStatus::ok;
    // from_chars reports overflow and underflow alike (and only underflow
    // all the way to zero: subnormals convert).
    if (leading_power(text) >= 0) return NumberStatus::out_of_range;
    value = text[0] == '-' ? -0.0 : 0.0;
    return NumberStatus::ok;
}

std::string number_problem(std::string_view text, NumberStatus status) {
    return "'" + escaped(text) + (status == NumberStatus::out_of_range ? "' is out of range" : "' is not a number");
}

std::string shortest(double v) {
    char text[40];
    int digits = 1;
    for (; digits < 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, v);
        if (std::strtod(text, nullptr) == v) break;
    }
    // Whole numbers below 1e16 without an exponent: 500, not 5e+02.
    const double magnitude = std::fabs(v);
    if (magnitude >= 1 && magnitude < 1e16) digits = std::max(digits, int(std::floor(std::log10(magnitude))) + 1);
    std::snprintf(text, sizeof text, "%.*g", digits, v);
    return text;
}

std::string round_trip(double v) {
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, v == 0 ? 0.0 : v);
    return std::string(text, ec == std::errc() ? end : text);
}

std::string escaped(std::string_view bytes) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\\') {
            out += "\\\\";
        } else if (b >= 0x20 && b <= 0x7e) {
            out += c;
        } else {
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    }
    return out;
}

}  // namespace spectrum
