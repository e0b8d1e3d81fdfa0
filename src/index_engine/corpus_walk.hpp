// Listing the description files below a corpus folder.
#pragma once

#include <string>
#include <vector>

#include "index_engine/file_meta.hpp"

namespace tarvex::engine {

struct CorpusListing {
    std::vector<ListedFile> files;
    // A candidate whose stat failed for another reason than its absence (such
    // as a folder that can be listed but not searched): pathlib's is_file()
    // raises then, so the listing is not to be trusted.  The first in path order.
    int failed_errno = 0;
    std::string failed_path;
};

// Every regular file (links followed) whose name ends in ".txt" at any depth
// below `root`, hidden ones included, without descending into links to
// folders, in path order, each spelt as pathlib spells it below `root` (which
// must already be normalized), with the metadata of the stat that found it to
// be a file.  Folders that cannot be read are skipped; a missing root gives
// nothing.  Touches no Python object, so it runs without the GIL.
CorpusListing walk_corpus(const std::string& root);

// What every listed path starts with below `root` (normalized): the root and
// a slash, as pathlib joins, or nothing for ".".
std::string listed_prefix(const std::string& root);

}  // namespace tarvex::engine
