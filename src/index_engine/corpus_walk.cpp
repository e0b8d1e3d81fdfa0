#include "index_engine/corpus_walk.hpp"

#include <dirent.h>
#include <errno.h>
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
// stat, one call per file, and those run in parallel.  A helper starts only
// when many folders wait to be walked: starting a thread costs more than
// walking a few folders, so a small corpus is walked by the caller alone.
constexpr unsigned kMaxThreads = 4;
constexpr std::size_t kWaitingFoldersPerHelper = 64;

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
        int stat_errno = 0;                // why stat failed, when pathlib would raise
        std::string failed_path;           // the candidate's path then
        std::unique_ptr<Folder> subfolder;  // filled by whichever thread walks it
    };
    std::vector<Item> items;
};

bool is_plain_utf8(std::string_view name) {
    for (unsigned char c : name) {
        if (c >= 0x80) {  // rare: decide by code points
            return false;
        }
    }
    return true;
}

bool name_less(const Folder::Item& a, const Folder::Item& b) {
    if (a.plain_utf8 && b.plain_utf8) {
        return a.name < b.name;
    }
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
          shown_prefix_(listed_prefix(root)),
          // The reference lists "./x.txt" below "." and drops the "./" only in
          // its result, so its system calls see paths two bytes longer.
          call_prefix_length_(root == "." ? 2 : shown_prefix_.size()) {}

    ~Walker() {
        if (root_fd_ >= 0) {
            close(root_fd_);
        }
    }

    CorpusListing run() {
        root_fd_ = open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (root_fd_ < 0) {
            return {};
        }
        Folder top;
        tasks_.push_back(Task{&top, ""});
        work();
        // Nobody starts a helper once the work is done, so the list is final.
        for (std::thread& helper : helpers_) {
            helper.join();
        }
        if (failure_) {
            std::rethrow_exception(failure_);
        }
        CorpusListing listing;
        collect(top, listing);
        return listing;
    }

private:
    // Paths the reference could not pass to the kernel fail there; the walk
    // leaves them out the same way.
    bool too_long(std::size_t relative_length) const {
        return call_prefix_length_ + relative_length >= PATH_MAX;
    }

    // Called with the mutex held.
    void start_helper() {
        try {
            helpers_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            max_threads_ = helpers_.size() + 1;  // no more threads: the others manage
        }
    }

    void work() {
        std::unique_lock lock(mutex_);
        while (true) {
            wakeup_.wait(lock, [this] { return !tasks_.empty() || busy_ == 0; });
            if (tasks_.empty()) {  // nothing queued and nobody can queue more
                return;
            }
            Task task = std::move(tasks_.back());
            tasks_.pop_back();
            ++busy_;
            lock.unlock();
            try {
                walk_folder(std::move(task));
            } catch (...) {
                std::lock_guard guard(mutex_);
                if (!failure_) {
                    failure_ = std::current_exception();
                }
            }
            lock.lock();
            --busy_;
            wakeup_.notify_all();
        }
    }

    int open_folder(const std::string& relative) const {
        const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        if (relative.empty()) {
            return dup(root_fd_);
        }
        // Opened by its path below the root, as the reference opens it, so no
        // descriptor waits while other folders are walked.
        return openat(root_fd_, relative.substr(0, relative.size() - 1).c_str(), flags);
    }

    // Lists one folder, stats its candidates and queues its subfolders.
    void walk_folder(Task task) {
        const int fd = open_folder(task.relative);
        if (fd < 0) {
            return;
        }
        const int listing_fd = dup(fd);  // closedir closes the descriptor it reads
        DIR* dir = listing_fd >= 0 ? fdopendir(listing_fd) : nullptr;
        if (dir == nullptr) {
            if (listing_fd >= 0) {
                close(listing_fd);
            }
            close(fd);
            return;
        }
        std::vector<Folder::Item>& items = task.folder->items;
        while (const dirent* entry = readdir(dir)) {
            const std::string_view name = entry->d_name;
            if (name == "." || name == "..") {
                continue;
            }
            bool is_folder = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat st;
                is_folder = fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
            }
            const bool has_suffix = name.ends_with(kSuffix);
            if (is_folder || has_suffix) {
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
            const bool reachable = !too_long(task.relative.size() + item.name.size());
            if (item.has_suffix) {
                struct stat st;
                if (!reachable) {
                    item.stat_errno = ENAMETOOLONG;
                } else if (fstatat(fd, item.name.c_str(), &st, 0) == 0) {
                    if (S_ISREG(st.st_mode)) {
                        item.file = ListedFile{shown_prefix_ + task.relative + item.name, meta_of(st)};
                    }
                } else if (errno != ENOENT && errno != ENOTDIR && errno != EBADF && errno != ELOOP) {
                    item.stat_errno = errno;  // the errors pathlib's is_file() lets through
                }
                if (item.stat_errno != 0) {
                    item.failed_path = shown_prefix_ + task.relative + item.name;
                }
            }
            if (item.is_folder && reachable) {
                item.subfolder = std::make_unique<Folder>();
                subfolders.push_back(Task{item.subfolder.get(), task.relative + item.name + "/"});
            }
        }
        close(fd);
        if (!subfolders.empty()) {
            std::lock_guard guard(mutex_);
            // Reversed, so that a thread pops them in order (kinder to caches).
            for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it) {
                tasks_.push_back(std::move(*it));
            }
            if (tasks_.size() > kWaitingFoldersPerHelper * (helpers_.size() + 1) && helpers_.size() + 1 < max_threads_) {
                start_helper();
            }
            wakeup_.notify_all();
        }
    }

    // In path order.  Iterative, and freeing each folder once it is done, so
    // that a deep tree needs no deep stack of the caller's thread (which may
    // be small) to be listed or destroyed.
    static void collect(Folder& top, CorpusListing& listing) {
        struct Open {
            Folder* folder;
            std::size_t next;
            std::unique_ptr<Folder>* owner;  // null for the top folder
        };
        std::vector<Open> open_folders{{&top, 0, nullptr}};
        while (!open_folders.empty()) {
            Open& current = open_folders.back();
            if (current.next == current.folder->items.size()) {
                std::unique_ptr<Folder>* owner = current.owner;
                open_folders.pop_back();
                if (owner != nullptr) {  // its subfolders are gone already
                    owner->reset();
                }
                continue;
            }
            Folder::Item& item = current.folder->items[current.next++];
            if (item.file) {
                listing.files.push_back(std::move(*item.file));
            }
            if (item.stat_errno != 0 && listing.failed_errno == 0) {
                listing.failed_errno = item.stat_errno;
                listing.failed_path = std::move(item.failed_path);
            }
            if (item.subfolder) {
                open_folders.push_back({item.subfolder.get(), 0, &item.subfolder});
            }
        }
    }

    const std::string& root_;
    std::string shown_prefix_;
    std::size_t call_prefix_length_;
    int root_fd_ = -1;

    std::mutex mutex_;
    std::condition_variable wakeup_;
    std::vector<Task> tasks_;  // folders waiting to be walked
    std::vector<std::thread> helpers_;
    std::size_t max_threads_ = std::min(kMaxThreads, std::max(1u, std::thread::hardware_concurrency()));
    std::size_t busy_ = 0;     // threads walking a folder (and so maybe queueing more)
    std::exception_ptr failure_;
};

}  // namespace

CorpusListing walk_corpus(const std::string& root) {
    return Walker(root).run();
}

std::string listed_prefix(const std::string& root) {
    if (root == ".") {
        return "";
    }
    return root.ends_with('/') ? root : root + "/";
}

}  // namespace tarvex::engine
