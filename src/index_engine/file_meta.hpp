// The metadata of a description file that tells whether it changed.
#pragma once

#include <sys/stat.h>

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

// The metadata of a stat result, whether the walk's or a descriptor's.
inline FileMeta meta_of(const struct stat& st) noexcept {
    return FileMeta{
        static_cast<std::int64_t>(st.st_size),
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
        static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec,
        static_cast<std::uint64_t>(st.st_ino),
    };
}

// A path (file-system bytes, as the listing spells it) with its metadata.
struct ListedFile {
    std::string path;
    FileMeta meta;
};

}  // namespace tarvex::engine
