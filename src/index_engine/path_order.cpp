#include "index_engine/path_order.hpp"

#include <algorithm>
#include <vector>

#include "index_engine/utf8_decode.hpp"

namespace tarvex::engine {

std::string normalize_path(std::string_view path) {
    std::string out;
    std::size_t start = 0;
    if (path.starts_with("//") && !path.starts_with("///")) {
        out = "//";
        start = 2;
    } else if (path.starts_with("/")) {
        out = "/";
        start = 1;
    }
    const std::size_t anchor_length = out.size();
    while (start < path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) {
            slash = path.size();
        }
        const std::string_view part = path.substr(start, slash - start);
        if (!part.empty() && part != ".") {
            if (out.size() > anchor_length) {
                out.push_back('/');
            }
            out.append(part);
        }
        start = slash + 1;
    }
    if (out.empty()) {
        out = ".";
    }
    return out;
}

namespace {

bool is_valid_utf8(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        if (*p < 0x80) {
            ++p;
            continue;
        }
        const Utf8Step step = decode_utf8_step(p, end);
        if (!step.valid) {
            return false;
        }
        p += step.length;
    }
    return true;
}

// Code points of a path as Python text, with the separator as 0 (below every
// character a name can hold), so that comparing these sequences compares the
// lists of parts.
std::vector<char32_t> ordering_key(std::string_view path) {
    std::vector<char32_t> key;
    key.reserve(path.size());
    const auto* p = reinterpret_cast<const unsigned char*>(path.data());
    const auto* end = p + path.size();
    while (p < end) {
        const Utf8Step step = decode_utf8_step(p, end);
        if (step.valid) {
            key.push_back(step.code_point == '/' ? 0 : step.code_point);
        } else {
            for (int i = 0; i < step.length; ++i) {
                key.push_back(0xDC00 + p[i]);
            }
        }
        p += step.length;
    }
    return key;
}

}  // namespace

int compare_paths(std::string_view a, std::string_view b) noexcept {
    const std::size_t common = std::min(a.size(), b.size());
    std::size_t i = 0;
    while (i < common && a[i] == b[i]) {
        ++i;
    }
    if (i == a.size() || i == b.size()) {
        return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
    }
    // Valid UTF-8 orders by its bytes as its text orders by code points.
    if (is_valid_utf8(a) && is_valid_utf8(b)) {
        const unsigned char x = a[i] == '/' ? 0 : static_cast<unsigned char>(a[i]);
        const unsigned char y = b[i] == '/' ? 0 : static_cast<unsigned char>(b[i]);
        return x < y ? -1 : 1;
    }
    try {
        const std::vector<char32_t> x = ordering_key(a), y = ordering_key(b);
        return std::lexicographical_compare_three_way(x.begin(), x.end(), y.begin(), y.end()) < 0 ? -1 : 1;
    } catch (...) {  // out of memory: fall back to the byte order
        return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]) ? -1 : 1;
    }
}

}  // namespace tarvex::engine
