// The rules a description is read and shown by, written once for both modules:
// the reference module and the index engine read at most kReadLimitChars
// characters of a file, show kPreviewChars of a text as its preview, and embed
// with kDefaultModelName unless told otherwise.  tarvex/_defaults.py holds the
// Python copies; tests/test_rules.py holds them to the built modules.
#pragma once

namespace tarvex {

inline constexpr long kReadLimitChars = 100000;
inline constexpr long kPreviewChars = 300;
inline constexpr const char kDefaultModelName[] = "sentence-transformers/all-MiniLM-L6-v2";

}  // namespace tarvex
