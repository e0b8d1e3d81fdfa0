#include "index_engine/scanner_state.hpp"

#include <algorithm>
#include <numeric>
#include <unordered_map>
#include <utility>

#include "index_engine/path_order.hpp"

namespace tarvex::engine {

ScanOutcome after_scan(const ScannerState& state, std::vector<ListedFile> listing, std::int64_t started_ns) {
    ScanOutcome outcome;
    outcome.diff = compare_with_remembered(state.remembered, state.recorded_ns, listing);
    ScanTimes times = times_after_scan(state.remembered, state.recorded_ns, outcome.diff, started_ns);
    outcome.next.remembered = std::move(listing);
    outcome.next.recorded_ns = std::move(times.recorded_ns);
    outcome.next.earlier = std::move(times.earlier);
    outcome.next.last_scan_ns = started_ns;
    return outcome;
}

LoadOutcome after_load(std::vector<RememberedFile> given, std::optional<std::int64_t> scanned_ns) {
    LoadOutcome outcome;
    std::vector<std::size_t>& order = outcome.order;
    order.resize(given.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return path_less(given[a].file.path, given[b].file.path); });
    for (std::size_t i = 1; i < order.size(); ++i) {
        if (given[order[i]].file.path == given[order[i - 1]].file.path) {
            outcome.repeated = order[i];
            return outcome;
        }
    }
    ScannerState& next = outcome.next;
    next.remembered.reserve(given.size());
    next.recorded_ns.reserve(given.size());
    for (const std::size_t position : order) {
        next.remembered.push_back(std::move(given[position].file));
        next.recorded_ns.push_back(given[position].scanned_ns);
    }
    next.last_scan_ns = scanned_ns;
    return outcome;
}

std::optional<std::size_t> remembered_position(const ScannerState& state, const std::string& path) {
    const auto found = std::lower_bound(
        state.remembered.begin(), state.remembered.end(), path,
        [](const ListedFile& file, const std::string& key) { return path_less(file.path, key); });
    if (found == state.remembered.end() || found->path != path) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(found - state.remembered.begin());
}

std::vector<OpenedDescription> open_remembered(const ScannerState& state, const std::vector<std::size_t>& which) {
    std::vector<OpenedDescription> opened(which.size());
    for (std::size_t i = 0; i < which.size(); ++i) {
        opened[i] = open_description(state.remembered[which[i]].path, kDefaultMaxChars);
    }
    return opened;
}

std::vector<ReadRecord> records_after_read(const ScannerState& state, const std::vector<std::size_t>& which,
                                           const std::vector<OpenedDescription>& opened, std::int64_t now_ns) {
    // Before any scan, the metadata is recorded as of now, before nothing it
    // was read from could have changed.
    const std::int64_t recorded_at = state.last_scan_ns.value_or(now_ns);
    std::vector<ReadRecord> records;
    records.reserve(which.size());
    std::unordered_map<std::size_t, std::size_t> last_read;  // remembered position -> its latest record
    for (std::size_t i = 0; i < which.size(); ++i) {
        const std::size_t index = which[i];
        const auto again = last_read.find(index);
        const ReadRecord current = again != last_read.end()
                                       ? records[again->second]
                                       : ReadRecord{state.remembered[index].meta, state.recorded_ns[index]};
        // A file the last scan named stale is judged by what it had before that scan.
        ReadRecord before = current;
        const auto stash = std::lower_bound(state.earlier.begin(), state.earlier.end(), index,
                                            [](const Earlier& e, std::size_t key) { return e.index < key; });
        if (stash != state.earlier.end() && stash->index == index) {
            before = ReadRecord{stash->meta, stash->scanned_ns};
        }
        // What the descriptor says, so a link swapped since the walk shows as
        // a change next time; a file that gave no text is tried again then.
        ReadRecord now = current;
        if (opened[i].opened) {
            now.meta = opened[i].meta;
        }
        if (!opened[i].text) {
            now.meta.size = kUntrustedSize;
        }
        now.scanned_ns = time_after_read(now.meta, before.meta, before.scanned_ns, recorded_at);
        records.push_back(now);
        last_read.insert_or_assign(index, i);
    }
    return records;
}

void remember_reads(ScannerState& state, const std::vector<std::size_t>& which,
                    const std::vector<ReadRecord>& records) noexcept {
    for (std::size_t i = 0; i < which.size(); ++i) {
        state.remembered[which[i]].meta = records[i].meta;
        state.recorded_ns[which[i]] = records[i].scanned_ns;
    }
}

}  // namespace tarvex::engine
