#include "index_engine/change_check.hpp"

#include <algorithm>
#include <limits>

#include "index_engine/path_order.hpp"

namespace tarvex::engine {

bool is_racily_clean(const FileMeta& meta, std::int64_t scanned_ns) noexcept {
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    const std::int64_t trusted_before = scanned_ns < lowest + kRacyWindowNs ? lowest : scanned_ns - kRacyWindowNs;
    return std::max(meta.mtime_ns, meta.ctime_ns) >= trusted_before;
}

bool proves_text(const FileMeta& meta, std::int64_t scanned_ns) noexcept {
    return meta.size != kUntrustedSize && !is_racily_clean(meta, scanned_ns);
}

ScanDiff compare_with_remembered(const std::vector<ListedFile>& remembered,
                                 const std::vector<std::int64_t>& recorded_ns,
                                 const std::vector<ListedFile>& listing) {
    ScanDiff diff;
    diff.remembered_index.assign(listing.size(), -1);
    std::size_t old = 0;
    for (std::size_t i = 0; i < listing.size(); ++i) {
        const ListedFile& now = listing[i];
        while (old < remembered.size() && compare_paths(remembered[old].path, now.path) < 0) {
            diff.removed.push_back(old++);
        }
        if (old < remembered.size() && remembered[old].path == now.path) {
            const FileMeta& before = remembered[old].meta;
            diff.remembered_index[i] = static_cast<std::ptrdiff_t>(old);
            if (before != now.meta || is_racily_clean(before, recorded_ns[old])) {
                diff.stale.push_back(i);
            }
            ++old;
        } else {
            diff.stale.push_back(i);
        }
    }
    while (old < remembered.size()) {
        diff.removed.push_back(old++);
    }
    diff.same_paths = diff.removed.empty() && listing.size() == remembered.size();
    return diff;
}

}  // namespace tarvex::engine
