// What a Scanner remembers of its folder, and how a scan, a load and a read
// move it on: plain values, no Python object, so each step can run without
// the GIL and the Scanner type only converts to and from Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "index_engine/change_check.hpp"
#include "index_engine/description_reader.hpp"
#include "index_engine/file_meta.hpp"

namespace tarvex::engine {

struct ScannerState {
    std::vector<ListedFile> remembered;        // path order, no repeats
    std::vector<std::int64_t> recorded_ns;     // start of the scan that recorded each
    std::vector<Earlier> earlier;              // the last scan's stale files that were remembered
    std::optional<std::int64_t> last_scan_ns;  // start of the last scan, or the time load was given
};

struct ScanOutcome {
    ScannerState next;  // what the scanner remembers after the scan
    ScanDiff diff;      // the walk's listing against what was remembered before
};

// A scan that started at started_ns and walked `listing` (path order, no
// repeats): the files to read again, and the state that remembers the scan.
ScanOutcome after_scan(const ScannerState& state, std::vector<ListedFile> listing, std::int64_t started_ns);

// A file's metadata and the start of the scan that recorded it, as load() is given them.
struct RememberedFile {
    ListedFile file;
    std::int64_t scanned_ns;
};

struct LoadOutcome {
    ScannerState next;                    // what the scanner remembers instead
    std::vector<std::size_t> order;       // the given position of each remembered file
    std::optional<std::size_t> repeated;  // a position whose path was given before: nothing to remember
};

// The state load() puts in place of the remembered one: `given` in path
// order, with scanned_ns as the scan time of the files read before any scan.
LoadOutcome after_load(std::vector<RememberedFile> given, std::optional<std::int64_t> scanned_ns);

// The position of `path` among the remembered files, if it is one.
std::optional<std::size_t> remembered_position(const ScannerState& state, const std::string& path);

// Opens each of the remembered files `which` once.  Touches no Python object.
std::vector<OpenedDescription> open_remembered(const ScannerState& state, const std::vector<std::size_t>& which);

// What the scanner remembers of a file once it was read.
struct ReadRecord {
    FileMeta meta;
    std::int64_t scanned_ns;
};

// The records of the remembered files `which`, read in that order as
// `opened`, now_ns being the time of the read.  A file named twice goes on
// from its first record, as if read by two calls.
std::vector<ReadRecord> records_after_read(const ScannerState& state, const std::vector<std::size_t>& which,
                                           const std::vector<OpenedDescription>& opened, std::int64_t now_ns);

// The state remembers those records (a file named twice, its last one).
void remember_reads(ScannerState& state, const std::vector<std::size_t>& which,
                    const std::vector<ReadRecord>& records) noexcept;

}  // namespace tarvex::engine
