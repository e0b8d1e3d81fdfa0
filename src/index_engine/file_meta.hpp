// The metadata of a description file that tells whether it changed.
#pragma once

#include <cstdint>
#include <string>

namespace tarvex::engine {

struct FileMeta {
    std::int64_t size = 0;
    std::int64_t mtime_ns = 0;
    std::int64_t ctime_ns = 0;
    std::uint64_t inode = 0;

    bool operator==(const FileMeta&) const = default;
};

// A path (file-system bytes, as the listing spells it) with its metadata.
struct ListedFile {
    std::string path;
    FileMeta meta;
};

}  // namespace tarvex::engine
