#include "support/bundle_zip.h"

namespace velk::fuzz {

std::vector<ZipMember> zip_members(const std::vector<BundleMember>& members) {
  std::vector<ZipMember> out;
  for (const BundleMember& m : members)
    out.push_back(testing::zip_entry(m.name, std::string(m.bytes),
                                     m.mode == 0 ? 0 : testing::file_attributes(m.mode & 07777)));
  return out;
}

std::string write_bundle_zip(const std::vector<ZipMember>& members) {
  testing::ZipArchive archive;
  archive.entries = members;
  return testing::serialise_zip(archive);
}

}  // namespace velk::fuzz
