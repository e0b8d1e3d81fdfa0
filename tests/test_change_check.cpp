// The change check without Python (built and run by test_change_check.py):
// which files a scan names and the time each is remembered with, against a
// model keyed by path, and the times reads give back, over random cases.
// Prints the first failures and exits with 1.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "index_engine/change_check.hpp"
#include "index_engine/path_order.hpp"

namespace {

using namespace tarvex::engine;

int failures = 0;

void check(bool holds, const char* what, int round) {
    if (!holds && ++failures <= 10) {
        std::fprintf(stderr, "round %d: %s\n", round, what);
    }
}

class Draw {
public:
    explicit Draw(std::uint64_t seed) : random_(seed) {}

    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }

    // Instants at the edges of the racy window, of the lowest time and of zero.
    std::int64_t time() {
        constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
        constexpr std::int64_t w = kRacyWindowNs;
        static const std::int64_t times[] = {lowest, lowest + 1, lowest + w - 1, lowest + w, lowest + w + 1,
                                             -w - 1, -w, -w + 1, -1, 0, 1, w - 1, w, w + 1, 2 * w,
                                             std::numeric_limits<std::int64_t>::max()};
        return times[below(std::size(times))];
    }

    // Listed metadata: a walk never gives the untrusted size, a remembered file may have it.
    FileMeta meta(bool remembered) {
        static const std::int64_t sizes[] = {0, 5, kUntrustedSize};
        return FileMeta{sizes[below(remembered ? 3 : 2)], time(), time(), 1 + below(2)};
    }

    // Paths whose byte order differs from their part-by-part order.
    std::vector<std::string> paths() {
        static const char* const pool[] = {"a", "a/b", "a/b/c", "a b", "a.txt", "a-b/x", "b", "b/a", "\xc3\xa9", "A"};
        std::vector<std::string> chosen;
        for (const char* path : pool) {
            if (below(2) == 0) {
                chosen.emplace_back(path);
            }
        }
        std::sort(chosen.begin(), chosen.end(), path_less);
        return chosen;
    }

private:
    std::mt19937_64 random_;
};

struct Record {
    FileMeta meta;
    std::int64_t scanned_ns;
};

void check_scan(Draw& draw, int round) {
    std::vector<ListedFile> remembered;
    std::vector<std::int64_t> recorded_ns;
    std::map<std::string, Record> model;
    for (std::string& path : draw.paths()) {
        const Record record{draw.meta(true), draw.time()};
        model[path] = record;
        remembered.push_back(ListedFile{std::move(path), record.meta});
        recorded_ns.push_back(record.scanned_ns);
    }
    std::vector<ListedFile> listing;
    for (std::string& path : draw.paths()) {
        const auto known = model.find(path);
        // Often the remembered metadata again, so that the scan times decide.
        const FileMeta meta = known != model.end() && known->second.meta.size != kUntrustedSize && draw.below(3) != 0
                                  ? known->second.meta
                                  : draw.meta(false);
        listing.push_back(ListedFile{std::move(path), meta});
    }
    const std::int64_t started_ns = draw.time();

    const ScanDiff diff = compare_with_remembered(remembered, recorded_ns, listing);
    const ScanTimes times = times_after_scan(remembered, recorded_ns, diff, started_ns);

    // A listed file is left alone only when remembered with the same metadata
    // and a time that proves its text; it keeps that time, any other takes the
    // scan's, and a stale one that was remembered keeps its record for the read.
    std::vector<std::size_t> stale;
    std::vector<Earlier> earlier;
    std::vector<std::int64_t> expected_ns;
    for (std::size_t i = 0; i < listing.size(); ++i) {
        const auto known = model.find(listing[i].path);
        const bool proven = known != model.end() && known->second.meta == listing[i].meta &&
                            proves_text(known->second.meta, known->second.scanned_ns);
        expected_ns.push_back(proven ? known->second.scanned_ns : started_ns);
        if (!proven) {
            stale.push_back(i);
            if (known != model.end()) {
                earlier.push_back(Earlier{i, known->second.meta, known->second.scanned_ns});
            }
        }
    }
    std::vector<std::size_t> removed;
    for (std::size_t i = 0; i < remembered.size(); ++i) {
        if (std::none_of(listing.begin(), listing.end(),
                         [&](const ListedFile& file) { return file.path == remembered[i].path; })) {
            removed.push_back(i);
        }
    }
    check(diff.stale == stale, "the stale files differ from the model's", round);
    check(diff.removed == removed, "the removed files differ from the model's", round);
    check(diff.same_paths == (removed.empty() && listing.size() == remembered.size()), "same_paths is wrong", round);
    check(times.recorded_ns == expected_ns, "the remembered scan times differ from the model's", round);
    const bool same_earlier =
        std::equal(times.earlier.begin(), times.earlier.end(), earlier.begin(), earlier.end(),
                   [](const Earlier& a, const Earlier& b) {
                       return a.index == b.index && a.meta == b.meta && a.scanned_ns == b.scanned_ns;
                   });
    check(same_earlier, "the records kept for reading differ from the model's", round);
}

void check_read(Draw& draw, int round) {
    const FileMeta before = draw.meta(true);
    const FileMeta now = draw.below(2) == 0 ? before : draw.meta(true);
    const std::int64_t before_ns = draw.time();
    const std::int64_t scanned_ns = draw.time();
    const std::int64_t kept = time_after_read(now, before, before_ns, scanned_ns);

    check(kept == before_ns || kept == scanned_ns, "a read invents a time", round);
    check(kept == scanned_ns || (now == before && before_ns != kUnknownScanNs),
          "a read keeps the time of other metadata, or an unknown one", round);
    check(!proves_text(now, scanned_ns) || proves_text(now, kept), "keeping a time loses what the scan proves",
          round);
    check(!(now == before && proves_text(before, before_ns)) || kept == before_ns,
          "a proven record does not come back as it was", round);
    check(!(now == before && before_ns != kUnknownScanNs && kept != before_ns) || proves_text(now, kept),
          "the same metadata gives up its time for one that proves no more", round);
    check(time_after_read(now, now, kept, scanned_ns) == kept, "reading the same file again changes its time",
          round);
}

}  // namespace

int main() {
    Draw draw(20240611);
    for (int round = 0; round < 20000; ++round) {
        check_scan(draw, round);
        check_read(draw, round);
    }
    return failures == 0 ? 0 : 1;
}
