// Which listed files may have changed since the scan that was remembered,
// and the scan time each file is remembered with afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "index_engine/file_meta.hpp"

namespace tarvex::engine {

// How close to a scan's start a file's timestamps may be before its metadata
// cannot prove it unchanged: file systems keep times as coarse as 2 s (FAT),
// and the kernel stamps files from a clock that lags the one scans read.
constexpr std::int64_t kRacyWindowNs = 3'000'000'000;

// A file remembered with these timestamps could have been written again
// within the same timestamp tick after the scan that started at scanned_ns,
// leaving its metadata as it was (git's racily clean entries).
bool is_racily_clean(const FileMeta& meta, std::int64_t scanned_ns) noexcept;

// The scan time of metadata whose recording time is unknown: it proves nothing.
constexpr std::int64_t kUnknownScanNs = std::numeric_limits<std::int64_t>::min();

// The remembered size of a file that gave no text: no file has it, so the
// next scan names the file again.
constexpr std::int64_t kUntrustedSize = -1;

// Whether metadata recorded by the scan that started at scanned_ns proves the
// text read with it current for as long as the metadata stays the same.
bool proves_text(const FileMeta& meta, std::int64_t scanned_ns) noexcept;

struct ScanDiff {
    // For each listed file, its index among the remembered ones, or -1.
    std::vector<std::ptrdiff_t> remembered_index;
    std::vector<std::size_t> stale;    // listed files to read again
    std::vector<std::size_t> removed;  // remembered files no longer listed
    bool same_paths = false;           // the listing holds exactly the remembered paths
};

// Both lists in path order (compare_paths), without repeated paths;
// recorded_ns holds the scan time of each remembered file.
ScanDiff compare_with_remembered(const std::vector<ListedFile>& remembered,
                                 const std::vector<std::int64_t>& recorded_ns,
                                 const std::vector<ListedFile>& listing);

// What a stale file was remembered with before the scan that named it, kept
// until the file is read: a read that finds this metadata again gives back
// this time, so a record that tells nothing new is not written again.
struct Earlier {
    std::size_t index;  // among the listed files, which the scan remembers
    FileMeta meta;
    std::int64_t scanned_ns;
};

struct ScanTimes {
    std::vector<std::int64_t> recorded_ns;  // for each listed file
    std::vector<Earlier> earlier;           // the stale files that were remembered, by index
};

// The scan time each listed file is remembered with after the scan that
// started at started_ns and found `diff`: a file still proven keeps the time
// that proved it, as a store keeps one per file; any other takes started_ns.
ScanTimes times_after_scan(const std::vector<ListedFile>& remembered, const std::vector<std::int64_t>& recorded_ns,
                           const ScanDiff& diff, std::int64_t started_ns);

// The scan time a file is remembered with once read with metadata `now`, when
// `before` was recorded at before_ns and the read counts as of scanned_ns (the
// last scan's start): the same metadata keeps its time unless scanned_ns
// proves more.
std::int64_t time_after_read(const FileMeta& now, const FileMeta& before, std::int64_t before_ns,
                             std::int64_t scanned_ns) noexcept;

}  // namespace tarvex::engine
