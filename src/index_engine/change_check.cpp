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

ScanTimes times_after_scan(const std::vector<ListedFile>& remembered, const std::vector<std::int64_t>& recorded_ns,
                           const ScanDiff& diff, std::int64_t started_ns) {
    const std::size_t listed = diff.remembered_index.size();
    ScanTimes times;
    times.recorded_ns.assign(listed, started_ns);
    std::size_t next_stale = 0;
    for (std::size_t i = 0; i < listed; ++i) {
        const bool stale = next_stale < diff.stale.size() && diff.stale[next_stale] == i;
        if (stale) {
            ++next_stale;
        }
        const std::ptrdiff_t before = diff.remembered_index[i];
        if (before < 0) {
            continue;
        }
        const auto old = static_cast<std::size_t>(before);
        if (!stale) {
            times.recorded_ns[i] = recorded_ns[old];
        } else {
            times.earlier.push_back(Earlier{i, remembered[old].meta, recorded_ns[old]});
        }
    }
    return times;
}

std::int64_t time_after_read(const FileMeta& now, const FileMeta& before, std::int64_t before_ns,
                             std::int64_t scanned_ns) noexcept {
    const bool keep = now == before && before_ns != kUnknownScanNs &&
                      (proves_text(before, before_ns) || !proves_text(now, scanned_ns));
    return keep ? before_ns : scanned_ns;
}

}  // namespace tarvex::engine
