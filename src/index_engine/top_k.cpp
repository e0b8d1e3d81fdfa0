#include "index_engine/top_k.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

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
        for (std::size_t lane = 0; lane < kLanes; ++lane) total += sum0[lane];
        for (; j < d; ++j) {
            float value;
            std::memcpy(&value, values + j * sizeof(float), sizeof value);
            total += value * query[j];
        }
        scores[row] = total;
    }
}

}  // namespace

std::vector<std::pair<std::size_t, float>> top_k_rows(const void* rows, std::size_t n, std::size_t d,
                                                      const void* query, std::size_t k) {
    std::vector<float> aligned_query(d);
    if (d > 0) std::memcpy(aligned_query.data(), query, d * sizeof(float));
    std::vector<float> scores(n);
    score_rows(static_cast<const unsigned char*>(rows), n, d, aligned_query.data(), scores.data());

    // A total order, so that a partial sort gives what a stable sort would.
    const auto better = [&scores](std::size_t a, std::size_t b) {
        const float x = scores[a], y = scores[b];
        const bool x_nan = std::isnan(x), y_nan = std::isnan(y);
        if (x_nan != y_nan) return y_nan;
        if (!x_nan && x != y) return x > y;
        return a < b;
    };
    if (k == 0 || k > n) k = n;
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(k), order.end(), better);

    std::vector<std::pair<std::size_t, float>> best;
    best.reserve(k);
    for (std::size_t i = 0; i < k; ++i) best.emplace_back(order[i], scores[order[i]]);
    return best;
}

}  // namespace tarvex::engine
