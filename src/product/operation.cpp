#include "product/operation.h"

#include <cstdlib>

namespace velk {

std::string_view operation_name(Operation op) {
  switch (op) {
    case Operation::install: return "install";
    case Operation::replace: return "replace";
    case Operation::backup: return "backup";
    case Operation::restore: return "restore";
    case Operation::remove: return "remove";
    case Operation::software_install: return "software_install";
    case Operation::software_update: return "software_update";
    case Operation::software_remove: return "software_remove";
    case Operation::launch: return "launch";
    case Operation::adopt: return "adopt";
  }
  std::abort();
}

std::optional<Operation> parse_operation(std::string_view name) {
  for (Operation op : kOperations)
    if (operation_name(op) == name) return op;
  return std::nullopt;
}

bool is_software_operation(Operation op) {
  return op == Operation::software_install || op == Operation::software_update ||
         op == Operation::software_remove;
}

}  // namespace velk
