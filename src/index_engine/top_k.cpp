#include "index_engine/top_k.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdint>

namespace tarvex::engine {
namespace {

using Lanes = float __attribute__((vector_size(32)));  // eight float32 partial sums
constexpr std::size_t kLanes = sizeof(Lanes) / sizeof(float);

// Scores of all rows; built for AVX2 too, picked at load time where present.
__attribute__((target_clones("avx2", "default")))
void score_rows(const unsigned char* rows, std::size_t n, std::size_t d, const float* query, float* scores) noexcept {
    const std::size_t row_bytes = d * sizeof(float);
    const std::size_t whole = d - d % kLanes;
    for (std::size_t row = 0; row < n; ++row) {
        const unsigned char* values = rows + row * row_bytes;
        Lanes sum0 = {}, sum1 = {}, a0, a1, q0, q1;
        std::size_t j = 0;
        // Rows need not be aligned: memcpy loads them whatever their address.
        for (; j + 2 * kLanes <= whole; j += 2 * kLanes) {
            std::memcpy(&a0, values + j * sizeof(float), sizeof a0);
            std::memcpy(&a1, values + (j + kLanes) * sizeof(float), sizeof a1);
            std::memcpy(&q0, query + j, sizeof q0);
            std::memcpy(&q1, query + j + kLanes, sizeof q1);
            sum0 += a0 * q0;
            sum1 += a1 * q1;
        }
        for (; j < whole; j += kLanes) {
            std::memcpy(&a0, values + j * sizeof(float), sizeof a0);
            std::memcpy(&q0, query + j, sizeof q0);
            sum0 += a0 * q0;
        }
        sum0 += sum1;
        float total = 0.0f;
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            total += sum0[lane];
        }
        for (; j < d; ++j) {
            float value;
            std::memcpy(&value, values + j * sizeof(float), sizeof value);
            total += value * query[j];
        }
        scores[row] = total;
    }
}

// A row's place in the answer as one comparison: smaller is better.  The key
// orders scores from highest to lowest with NaN after all of them; equal keys
// fall back to the row, so the order is total and any selection gives what a
// stable sort would.
struct Ranked {
    std::uint32_t key;
    std::size_t row;

    bool operator<(const Ranked& other) const noexcept {
        return key != other.key ? key < other.key : row < other.row;
    }
};

std::uint32_t descending_key(float score) noexcept {
    if (std::isnan(score)) {
        return 0xFFFFFFFFu;
    }
    if (score == 0.0f) {  // -0.0 ties with 0.0
        score = 0.0f;
    }
    std::uint32_t bits;
    std::memcpy(&bits, &score, sizeof bits);
    const std::uint32_t ascending = (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
    return ~ascending;  // never 0xFFFFFFFF for a number
}

}  // namespace

std::vector<std::pair<std::size_t, float>> top_k_rows(const void* rows, std::size_t n, std::size_t d,
                                                      const void* query, std::size_t k) {
    std::vector<float> aligned_query(d);
    if (d > 0) {
        std::memcpy(aligned_query.data(), query, d * sizeof(float));
    }
    std::vector<float> scores(n);
    score_rows(static_cast<const unsigned char*>(rows), n, d, aligned_query.data(), scores.data());

    if (k == 0 || k > n) {
        k = n;
    }
    std::vector<Ranked> best;
    if (k < n / 16) {
        // Few rows wanted: keep the best k seen so far in a heap whose top is
        // the worst of them, which most rows fail to beat.
        best.reserve(k + 1);
        for (std::size_t row = 0; row < n && k > 0; ++row) {
            const Ranked candidate{descending_key(scores[row]), row};
            if (best.size() < k) {
                best.push_back(candidate);
                std::push_heap(best.begin(), best.end());
            } else if (candidate < best.front()) {
                std::pop_heap(best.begin(), best.end());
                best.back() = candidate;
                std::push_heap(best.begin(), best.end());
            }
        }
        std::sort_heap(best.begin(), best.end());
    } else {
        best.resize(n);
        for (std::size_t row = 0; row < n; ++row) {
            best[row] = Ranked{descending_key(scores[row]), row};
        }
        if (k < n) {
            std::nth_element(best.begin(), best.begin() + static_cast<std::ptrdiff_t>(k), best.end());
        }
        best.resize(k);
        std::sort(best.begin(), best.end());
    }

    std::vector<std::pair<std::size_t, float>> answer;
    answer.reserve(best.size());
    for (const Ranked& ranked : best) {
        answer.emplace_back(ranked.row, scores[ranked.row]);
    }
    return answer;
}

}  // namespace tarvex::engine
