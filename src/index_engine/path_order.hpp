// How paths are spelt and ordered, the way pathlib does it on POSIX.
//
// Paths are file-system bytes here; as Python text they are those bytes
// decoded as UTF-8 with undecodable bytes escaped to U+DC80..U+DCFF.
#pragma once

#include <string>
#include <string_view>

namespace tarvex::engine {

// The spelling str(Path(path)) gives: repeated slashes and "." parts dropped,
// no trailing slash, exactly two leading slashes kept, "." for nothing.
std::string normalize_path(std::string_view path);

// Three-way comparison of two paths part by part (split at '/'), each part by
// its code points as Python text: the order of sorted() on Path objects.
int compare_paths(std::string_view a, std::string_view b) noexcept;

inline bool path_less(std::string_view a, std::string_view b) noexcept { return compare_paths(a, b) < 0; }

}  // namespace tarvex::engine
