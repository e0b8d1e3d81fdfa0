#include "index_engine/corpus_walk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <optional>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

#include "index_engine/path_order.hpp"

namespace tarvex::engine {
namespace {

constexpr std::string_view kSuffix = ".txt";

// Threads that stat files side by side: the walk is bound by the kernel's
// stat, one call per file, and those run in parallel.  Helpers start only
// once a corpus has enough folders to share out.
constexpr unsigned kMaxThreads = 4;
constexpr std::size_t kFoldersPerHelper = 8;

FileMeta meta_of(const struct stat& st) {
    return FileMeta{
        static_cast<std::int64_t>(st.st_size),
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
        static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec,
        static_cast<std::uint64_t>(st.st_ino),
    };
}

// One folder's share of the listing: its description files and subfolders,
// in name order.  Parts sort before longer names they begin ("a" before
// "a.txt"), so emitting every folder's items in name order, subfolders in
// place, gives the whole listing in path order without a global sort.
struct Folder {
    struct Item {
        std::string name;
        bool is_folder = false;    // a real folder, not a link to one: walked into
        bool has_suffix = false;   // a candidate description file
        bool plain_utf8 = true;    // orders by its bytes
        std::optional<ListedFile> file;    // the candidate, if stat found a regular file
        std::unique_ptr<Folder> subfolder;  // filled by whichever thread walks it
    };
    std::vector<Item> items;
};

bool is_plain_utf8(std::string_view name) {
    for (unsigned char c : name) {
        if (c >= 0x80) return false;  // rare: decide by code points
    }
    return true;
}

bool name_less(const Folder::Item& a, const Folder::Item& b) {
    if (a.plain_utf8 && b.plain_utf8) return a.name < b.name;
    return path_less(a.name, b.name);
}

struct Task {
    Folder* folder;
    std::string relative;  // path below the root, with a trailing slash unless empty
};

class Walker {
public:
    explicit Walker(const std::string& root)
        : root_(root),
          shown_prefix_(root == "." ? "" : (root.ends_with('/') ? root : root + "/")),
          // The reference lists "./x.txt" below "." and drops the "./" only in
          // its result, so its system calls see paths two bytes longer.
          call_prefix_length_(root == "." ? 2 : shown_prefix_.size()) {}

    ~Walker() {
        if (root_fd_ >= 0) close(root_fd_);
    }

    std::vector<ListedFile> run() {
        root_fd_ = open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (root_fd_ < 0) return {};
        Folder top;
        walk_folder(Task{&top, ""});
        if (!tasks_.empty()) {
            const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
            const std::size_t wanted = std::min<std::size_t>({kMaxThreads, cores, tasks_.size() / kFoldersPerHelper + 1});
            std::vector<std::thread> helpers;
            for (std::size_t i = 1; i < wanted; ++i) {
                try {
                    helpers.emplace_back([this] { work(); });
                } catch (const std::system_error&) {
                    break;  // no more threads: the others manage
                }
            }
            work();
            for (std::thread& helper : helpers) helper.join();
            if (failure_) std::rethrow_exception(failure_);
        }
        std::vector<ListedFile> found;
        collect(top, found);
        return found;
    }

private:
    // Paths the reference could not pass to the kernel fail there; the walk
    // leaves them out the same way.
    bool too_long(std::size_t relative_length) const {
        return call_prefix_length_ + relative_length >= PATH_MAX;
    }

    void work() {
        std::unique_lock lock(mutex_);
        while (true) {
            wakeup_.wait(lock, [this] { return !tasks_.empty() || busy_ == 0; });
            if (tasks_.empty()) return;  // nothing queued and nobody can queue more
            Task task = std::move(tasks_.back());
            tasks_.pop_back();
            ++busy_;
            lock.unlock();
            try {
                walk_folder(std::move(task));
            } catch (...) {
                std::lock_guard guard(mutex_);
                if (!failure_) failure_ = std::current_exception();
            }
            lock.lock();
            --busy_;
            wakeup_.notify_all();
        }
    }

    int open_folder(const std::string& relative) const {
        const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        if (relative.empty()) return dup(root_fd_);
        // Opened by its path below the root, as the reference opens it, so no
        // descriptor waits while other folders are walked.
        return openat(root_fd_, relative.substr(0, relative.size() - 1).c_str(), flags);
    }

    // Lists one folder, stats its candidates and queues its subfolders.
    void walk_folder(Task task) {
        const int fd = open_folder(task.relative);
        if (fd < 0) return;
        const int listing_fd = dup(fd);  // closedir closes the descriptor it reads
        DIR* dir = listing_fd >= 0 ? fdopendir(listing_fd) : nullptr;
        if (dir == nullptr) {
            if (listing_fd >= 0) close(listing_fd);
            close(fd);
            return;
        }
        std::vector<Folder::Item>& items = task.folder->items;
        while (const dirent* entry = readdir(dir)) {
            const std::string_view name = entry->d_name;
            if (name == "." || name == "..") continue;
            bool is_folder = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat st;
                is_folder = fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
            }
            const bool has_suffix = name.ends_with(kSuffix);
            if ((is_folder || has_suffix) && !too_long(task.relative.size() + name.size())) {
                Folder::Item& item = items.emplace_back();
                item.name = name;
                item.is_folder = is_folder;
                item.has_suffix = has_suffix;
                item.plain_utf8 = is_plain_utf8(name);
            }
        }
        closedir(dir);
        std::sort(items.begin(), items.end(), name_less);

        std::vector<Task> subfolders;
        for (Folder::Item& item : items) {
            if (item.has_suffix) {
                struct stat st;
                if (fstatat(fd, item.name.c_str(), &st, 0) == 0 && S_ISREG(st.st_mode)) {
                    item.file = ListedFile{shown_prefix_ + task.relative + item.name, meta_of(st)};
                }
            }
            if (item.is_folder) {
                item.subfolder = std::make_unique<Folder>();
                subfolders.push_back(Task{item.subfolder.get(), task.relative + item.name + "/"});
            }
        }
        close(fd);
        if (!subfolders.empty()) {
            std::lock_guard guard(mutex_);
            // Reversed, so that a thread pops them in order (kinder to caches).
            for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it) tasks_.push_back(std::move(*it));
            wakeup_.notify_all();
        }
    }

    static void collect(Folder& folder, std::vector<ListedFile>& found) {
        for (Folder::Item& item : folder.items) {
            if (item.file) found.push_back(std::move(*item.file));
            if (item.subfolder) collect(*item.subfolder, found);
        }
    }

    const std::string& root_;
    std::string shown_prefix_;
    std::size_t call_prefix_length_;
    int root_fd_ = -1;

    std::mutex mutex_;
    std::condition_variable wakeup_;
    std::vector<Task> tasks_;  // folders waiting to be walked
    std::size_t busy_ = 0;     // threads walking a folder (and so maybe queueing more)
    std::exception_ptr failure_;
};

}  // namespace

std::vector<ListedFile> walk_corpus(const std::string& root) {
    return Walker(root).run();
}

}  // namespace tarvex::engine
