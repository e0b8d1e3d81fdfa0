// Exact top-k search over float32 vectors by dot product.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace tarvex::engine {

// The `k` rows (all of them when k is 0) of the row-major n x d matrix at
// `rows` whose dot product with `query` is highest, best first, equal scores
// in row order and NaN scores last; each product is accumulated in float32.
// Neither pointer needs to be aligned.  Touches no Python object.
std::vector<std::pair<std::size_t, float>> top_k_rows(const void* rows, std::size_t n, std::size_t d,
                                                      const void* query, std::size_t k);

}  // namespace tarvex::engine
