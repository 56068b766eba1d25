#include "cli/operation_id.h"

#include <ctime>

#include "core/digest.h"
#include "product/declaration.h"

namespace velk {

std::string human_operation_id(std::string_view target_identity, int64_t unix_seconds) {
  if (unix_seconds < 0) unix_seconds = 0;
  std::string seed(declaration().provider_id);
  seed += ':';
  seed += target_identity;
  seed += ':';
  seed += std::to_string(unix_seconds);
  return "operation_" + digest_bytes(seed).substr(7, 24);
}

std::string human_operation_id_now(std::string_view target_identity) {
  return human_operation_id(target_identity, static_cast<int64_t>(std::time(nullptr)));
}

}  // namespace velk
