#include "cli/entry.h"

#include <cstdio>

namespace velk {

int run_entry(const std::vector<std::string>&) {
  std::fputs("velk-setup-system 0.0.63\n", stdout);
  return 0;
}

}  // namespace velk
