// Reading a description file as bounded, stripped text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvex::engine {

// The text of the regular file at `path` as UTF-8: decoded with undecodable
// bytes dropped, CR LF and lone CR read as LF, cut to `max_chars` code points
// (max_chars == -1 gives nothing; a smaller negative value reads the whole
// file and drops that many code points from its end), then stripped of
// leading and trailing whitespace as str.strip strips.  Reads no more of the
// file than the limit needs.  Nothing when the file cannot be opened or read
// or is not a regular file (so a FIFO never blocks).  Touches no Python
// object, so it runs without the GIL.
std::optional<std::string> read_description(const std::string& path, std::int64_t max_chars);

// Whether str.isspace() is true for this code point.
bool is_python_whitespace(char32_t cp) noexcept;

// `text` (valid UTF-8) without leading and trailing whitespace.
std::string_view strip_whitespace(std::string_view text) noexcept;

}  // namespace tarvex::engine
