// Reading a description file as bounded, stripped text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/description_rules.hpp"
#include "index_engine/file_meta.hpp"

namespace tarvex::engine {

// The characters a description is cut to unless told otherwise.
constexpr std::int64_t kDefaultMaxChars = kReadLimitChars;

// What one opened description file gave, all of it from the same descriptor,
// so that a link swapped meanwhile cannot pair one file's metadata, place or
// text with another's.
struct OpenedDescription {
    bool opened = false;                   // false: nothing could be opened
    FileMeta meta;                         // fstat of the descriptor, when opened
    std::optional<std::string> real_path;  // where the opened file lies, when known
    std::optional<std::string> text;       // nothing: not a regular file, or unreadable
};

// Opens `path` once and reads the regular file behind it as UTF-8: decoded
// with undecodable bytes dropped, CR LF and lone CR read as LF, cut to
// `max_chars` code points (max_chars == -1 gives nothing; a smaller negative
// value reads the whole file and drops that many code points from its end),
// then stripped of leading and trailing whitespace as str.strip strips.  Reads
// no more of the file than the limit needs; no text when the file cannot be
// read or is not a regular file (opened without blocking, so a FIFO never
// blocks).  Also asks the kernel where the descriptor's file lies (the link
// /proc/self/fd/N).  Touches no Python object, so it runs without the GIL.
OpenedDescription open_description(const std::string& path, std::int64_t max_chars);

// Whether str.isspace() is true for this code point.
bool is_python_whitespace(char32_t cp) noexcept;

// `text` (valid UTF-8) without leading and trailing whitespace.
std::string_view strip_whitespace(std::string_view text) noexcept;

}  // namespace tarvex::engine
