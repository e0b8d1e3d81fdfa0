#include "index_engine/corpus_walk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "index_engine/path_order.hpp"

namespace tarvex::engine {
namespace {

// Below this depth each folder's descriptor stays open while its subfolders
// are walked (fast, relative lookups); deeper, folders are opened by their
// whole path so that a deep tree cannot exhaust the descriptors.
constexpr int kMaxOpenDepth = 64;

constexpr std::string_view kSuffix = ".txt";

FileMeta meta_of(const struct stat& st) {
    return FileMeta{
        static_cast<std::int64_t>(st.st_size),
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
        static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec,
        static_cast<std::uint64_t>(st.st_ino),
    };
}

struct Entry {
    std::string name;
    bool is_folder;   // a real folder, not a link to one: walked into
    bool has_suffix;  // a candidate description file
    bool is_file;     // a candidate that stat (following links) found regular
    FileMeta meta;
};

class Walker {
public:
    explicit Walker(const std::string& root)
        : shown_prefix_(root == "." ? "" : (root.ends_with('/') ? root : root + "/")),
          // The reference lists "./x.txt" below "." and drops the "./" only in
          // its result, so its system calls see paths two bytes longer.
          call_prefix_length_(root == "." ? 2 : shown_prefix_.size()) {}

    std::vector<ListedFile> run(const std::string& root) {
        const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) walk_folder(fd, "", 0);
        return std::move(found_);
    }

private:
    // Paths the reference could not pass to the kernel fail there; the walk
    // leaves them out the same way.
    bool too_long(std::size_t relative_length) const {
        return call_prefix_length_ + relative_length >= PATH_MAX;
    }

    int open_subfolder(int parent_fd, const std::string& relative, const std::string& name) const {
        const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        if (parent_fd >= 0) return openat(parent_fd, name.c_str(), flags);
        return open((shown_prefix_.empty() ? relative : shown_prefix_ + relative).c_str(), flags);
    }

    // The folder's entries that matter: subfolders and names with the suffix.
    static std::vector<Entry> read_entries(int fd) {
        std::vector<Entry> entries;
        const int listing_fd = dup(fd);  // closedir closes the descriptor it reads
        DIR* dir = listing_fd >= 0 ? fdopendir(listing_fd) : nullptr;
        if (dir == nullptr) {
            if (listing_fd >= 0) close(listing_fd);
            return entries;
        }
        while (const dirent* item = readdir(dir)) {
            const std::string_view name = item->d_name;
            if (name == "." || name == "..") continue;
            bool is_folder = item->d_type == DT_DIR;
            if (item->d_type == DT_UNKNOWN) {
                struct stat st;
                is_folder = fstatat(fd, item->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
            }
            const bool has_suffix = name.ends_with(kSuffix);
            if (is_folder || has_suffix) entries.push_back({std::string(name), is_folder, has_suffix, false, {}});
        }
        closedir(dir);
        return entries;
    }

    // Walks the folder open as `fd` and closes it; `relative` is its path
    // below the root with a trailing slash, or empty for the root.
    void walk_folder(int fd, const std::string& relative, int depth) {
        std::vector<Entry> entries = read_entries(fd);
        // Parts sort before longer names they begin ("a" before "a.txt"), so
        // visiting each folder's entries in name order lists the files in
        // path order without sorting the whole listing.
        std::sort(entries.begin(), entries.end(),
                  [](const Entry& a, const Entry& b) { return path_less(a.name, b.name); });
        for (Entry& entry : entries) {
            if (entry.has_suffix && !too_long(relative.size() + entry.name.size())) {
                struct stat st;
                if (fstatat(fd, entry.name.c_str(), &st, 0) == 0 && S_ISREG(st.st_mode)) {
                    entry.is_file = true;
                    entry.meta = meta_of(st);
                }
            }
        }
        if (depth >= kMaxOpenDepth) {
            close(fd);
            fd = -1;
        }
        for (const Entry& entry : entries) {
            if (entry.is_file) found_.push_back({shown_prefix_ + relative + entry.name, entry.meta});
            if (entry.is_folder && !too_long(relative.size() + entry.name.size())) {
                const std::string path = relative + entry.name;
                const int child = open_subfolder(fd, path, entry.name);
                if (child >= 0) walk_folder(child, path + "/", depth + 1);
            }
        }
        if (fd >= 0) close(fd);
    }

    std::string shown_prefix_;
    std::size_t call_prefix_length_;
    std::vector<ListedFile> found_;
};

}  // namespace

std::vector<ListedFile> walk_corpus(const std::string& root) {
    return Walker(root).run(root);
}

}  // namespace tarvex::engine
