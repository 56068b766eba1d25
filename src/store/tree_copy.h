// Tree copy with the two extras a restore needs: destinations it must leave
// alone (never-touch paths inside an owned surface) and the list of files it
// wrote. Private to the store folder.
#pragma once

#include <string>
#include <vector>

#include "core/error.h"

namespace velk {

struct TreeCopyOptions {
  // Destination paths that are neither written nor descended into.
  std::vector<std::string> spared;
  // When set, receives the destination path of every file written.
  std::vector<std::string>* written = nullptr;
};

Status copy_tree_with(const std::string& source, const std::string& destination,
                      const TreeCopyOptions& options);

}  // namespace velk
