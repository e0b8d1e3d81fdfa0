// Listing the description files below a corpus folder.
#pragma once

#include <string>
#include <vector>

#include "index_engine/file_meta.hpp"

namespace tarvex::engine {

// Every regular file (links followed) whose name ends in ".txt" at any depth
// below `root`, hidden ones included, without descending into links to
// folders, in path order, each spelt as pathlib spells it below `root` (which
// must already be normalized), with the metadata of the stat that found it to
// be a file.  Folders that cannot be read are skipped; a missing root gives
// nothing.  Touches no Python object, so it runs without the GIL.
std::vector<ListedFile> walk_corpus(const std::string& root);

}  // namespace tarvex::engine
