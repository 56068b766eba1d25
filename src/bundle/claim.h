// The five values that name one bundle.
#pragma once

#include <cstdint>
#include <string>

namespace velk {

struct BundleClaim {
  std::string path;             // --bundle
  std::string format;           // --bundle-format
  std::string bundle_digest;    // --bundle-digest: the manifest identity expected
  std::string artifact_digest;  // --artifact-digest: digest of the file's bytes
  uint64_t size = 0;            // --bundle-size
  bool operator==(const BundleClaim&) const = default;
};

}  // namespace velk
