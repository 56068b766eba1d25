#include "support/software_prefix.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "core/fs.h"

namespace velk::testing {

PlannedSoftware planned_software(std::string_view version) {
  auto release = select_release(version);
  if (!release.ok()) std::abort();
  auto build = host_build(**release);
  if (!build.ok()) std::abort();
  return PlannedSoftware{std::string(version), **build};
}

std::string host_artifact(std::string_view version) {
  return std::string(VELK_SOURCE_DIR) + "/releases/" + file_name(planned_software(version).build.url);
}

Result<SoftwareApplyResult> install_version(const std::string& prefix, std::string_view version) {
  return apply_software_operation(Operation::software_install, prefix, planned_software(version),
                                  {host_artifact(version)});
}

std::string link_target(const std::string& path) {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
  return n < 0 ? std::string() : std::string(buffer, static_cast<size_t>(n));
}

}  // namespace velk::testing
