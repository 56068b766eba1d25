#include "support/bundle_writer.h"

#include <sys/stat.h>
#include <zlib.h>

#include <cstdlib>

#include "core/digest.h"
#include "product/profile.h"
#include "support/temp_dir.h"

namespace velk::testing {
namespace {

void put16(std::string& out, uint16_t v) {
  out += static_cast<char>(v & 0xff);
  out += static_cast<char>(v >> 8);
}

void put32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

template <class T>
T must(Result<T> result) {
  if (!result.ok()) std::abort();
  return std::move(result).value();
}

std::string top_level(const std::string& path) { return path.substr(0, path.find('/')); }

// The CRC-32 and both sizes, which the local header and the central entry each carry.
void put_sizes(std::string& out, const ZipEntry& e) {
  put32(out, e.crc.value_or(crc32_of(e.data)));
  put32(out, e.compressed_size.value_or(static_cast<uint32_t>(e.data.size())));
  put32(out, e.uncompressed_size.value_or(static_cast<uint32_t>(e.data.size())));
}

// The kind the product reads at a top-level entry, else "setting".
std::string kind_for(const std::string& top, std::optional<TargetScope> scope) {
  if (scope == TargetScope::user_root) return "skill";
  for (const OwnedSurface& s : declaration().owned_surfaces)
    if (s.path == top && s.kind) return std::string(component_kind_name(*s.kind));
  return "setting";
}

}  // namespace

uint32_t crc32_of(std::string_view data) {
  return static_cast<uint32_t>(
      ::crc32_z(::crc32_z(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data.data()), data.size()));
}

uint32_t file_attributes(uint32_t mode) { return (S_IFREG | mode) << 16; }

ZipEntry zip_entry(std::string name, std::string data, uint32_t attributes) {
  ZipEntry entry;
  entry.name = std::move(name);
  entry.data = std::move(data);
  entry.external_attributes = attributes;
  return entry;
}

std::string serialise_zip(const ZipArchive& archive) {
  std::string out;
  std::vector<uint32_t> offsets;
  for (const ZipEntry& e : archive.entries) {
    offsets.push_back(static_cast<uint32_t>(out.size()));
    const std::string& local_name = e.local_name ? *e.local_name : e.name;
    put32(out, e.local_signature.value_or(0x04034B50));
    put16(out, 20);  // version needed to extract: 2.0
    put16(out, e.local_flags.value_or(e.flags));
    put16(out, e.local_method.value_or(e.method));
    put16(out, e.time);
    put16(out, e.local_date.value_or(e.date));
    put_sizes(out, e);
    put16(out, static_cast<uint16_t>(local_name.size()));
    put16(out, static_cast<uint16_t>(e.local_extra.size()));
    out += local_name;
    out += e.local_extra;
    out += e.data;
  }
  const uint32_t central_start = static_cast<uint32_t>(out.size());
  for (size_t i = 0; i < archive.entries.size(); ++i) {
    const ZipEntry& e = archive.entries[i];
    put32(out, 0x02014B50);
    put16(out, e.version_made_by);
    put16(out, 20);
    put16(out, e.flags);
    put16(out, e.method);
    put16(out, e.time);
    put16(out, e.date);
    put_sizes(out, e);
    put16(out, static_cast<uint16_t>(e.name.size()));
    put16(out, static_cast<uint16_t>(e.extra.size()));
    put16(out, static_cast<uint16_t>(e.comment.size()));
    put16(out, 0);  // disk number start
    put16(out, 0);  // internal attributes
    put32(out, e.external_attributes);
    put32(out, offsets[i]);
    out += e.name;
    out += e.extra;
    out += e.comment;
  }
  const uint32_t central_size = static_cast<uint32_t>(out.size()) - central_start;
  const auto count = static_cast<uint16_t>(archive.entries.size());
  put32(out, 0x06054B50);
  put16(out, archive.disk);
  put16(out, archive.central_disk);
  put16(out, archive.entries_on_disk.value_or(count));
  put16(out, archive.total_entries.value_or(count));
  put32(out, central_size);
  put32(out, archive.central_offset.value_or(central_start));
  put16(out, static_cast<uint16_t>(archive.comment.size()));
  out += archive.comment;
  return out;
}

void BundleParts::seal() {
  Json rest = manifest;
  rest.erase("bundle_digest");
  manifest["bundle_digest"] = must(digest_document(kBundleTag, rest));
}

std::string BundleParts::bundle_digest() const {
  const Json* digest = find_member(manifest, "bundle_digest");
  return digest && digest->is_string() ? digest->get<std::string>() : std::string();
}

std::string BundleParts::manifest_bytes() const {
  return manifest_text ? *manifest_text : manifest.dump();
}

ZipArchive BundleParts::archive() const {
  ZipArchive archive;
  archive.entries.push_back(zip_entry("bundle.json", manifest_bytes()));
  archive.entries.push_back(zip_entry("setup-passport.json", passport));
  archive.entries.push_back(zip_entry("composition-report.json", composition_report));
  archive.entries.push_back(zip_entry("conversion-report.json", conversion_report));
  archive.entries.insert(archive.entries.end(), file_entries.begin(), file_entries.end());
  return archive;
}

std::string BundleParts::bytes() const { return serialise_zip(archive()); }

BundleParts make_bundle(const std::map<std::string, FileSpec>& files,
                        std::optional<TargetScope> scope, std::string_view setup_id,
                        std::string_view setup_version) {
  BundleParts parts;
  Json passport = Json::object();
  passport["stable_id"] = setup_id;
  passport["version"] = setup_version;
  parts.passport = passport.dump();
  const std::string passport_digest = digest_bytes(parts.passport);

  // Grouped by top-level entry; map order sorts the adaptations by stable_id.
  std::map<std::string, std::vector<std::string>> groups;
  for (const auto& [path, spec] : files) groups[top_level(path)].push_back(path);

  Json adaptations = Json::array();
  Json entries = Json::array();
  Json components = Json::array();
  Json managed = Json::array();
  for (const auto& [top, paths] : groups) {
    const std::string stable_id = "component." + top;
    const std::string kind = kind_for(top, scope);
    std::string content;
    for (const std::string& p : paths) content += files.at(p).bytes;
    adaptations.push_back(
        {{"version", "1.0.0"}, {"stable_id", stable_id}, {"member_paths", paths},
         {"adaptation_id", "adaptation_" + digest_bytes(stable_id).substr(7)},
         {"passport_digest", passport_digest}, {"projection_kind", "native_files"},
         {"projection_artifact", {{"digest", digest_bytes(content)},
                                  {"size_bytes", std::max<uint64_t>(1, content.size())}}},
         {"provider_component_kind", kind}});
    entries.push_back({{"stable_id", stable_id}, {"component_type", kind}, {"native_surface", top}});
    components.push_back(stable_id);
    managed.push_back(top);
  }

  Json file_list = Json::array();
  for (const auto& [path, spec] : files) {
    file_list.push_back({{"path", path}, {"kind", "file"}, {"mode", spec.mode},
                         {"owner", "component." + top_level(path)},
                         {"digest", digest_bytes(spec.bytes)}, {"byte_length", spec.bytes.size()}});
    parts.file_entries.push_back(zip_entry("files/" + path, spec.bytes, file_attributes(spec.mode)));
  }

  const ProjectionProfile* profile = profile_for_scope(scope);
  if (!profile) profile = &declaration().main_profile;
  Json report = {{"complete", true}, {"entries", entries}};

  Json& m = parts.manifest;
  m = Json::object();
  m["schema_version"] = 2;
  m["protocol_version"] = 1;
  m["bundle_format"] = "ai-stp-bundle/2";
  m["bundle_digest"] = "";
  m["harness_id"] = declaration().product_id;
  m["builder_version"] = "bundle-writer/1";
  m["input_digest"] = digest_bytes(parts.passport);
  if (scope) m["target_scope"] = scope_name(*scope);
  m["projection_profile"] = {{"profile_id", profile->profile_id},
                             {"profile_digest", must(profile_digest(*profile))},
                             {"target_scope", scope ? scope_name(*scope) : "global"}};
  m["component_adaptations"] = std::move(adaptations);
  m["conversion_report"] = report;
  m["managed_paths"] = std::move(managed);
  m["files"] = std::move(file_list);
  parts.seal();

  parts.composition_report = Json{{"components", components}}.dump();
  parts.conversion_report = report.dump();
  return parts;
}

BundleClaim write_bundle(const std::string& path, std::string_view bytes,
                         std::string bundle_digest) {
  write_text(path, bytes);
  return BundleClaim{.path = path,
                     .format = "ai-stp-bundle/2",
                     .bundle_digest = std::move(bundle_digest),
                     .artifact_digest = digest_bytes(bytes),
                     .size = bytes.size()};
}

BundleClaim write_bundle(const std::string& path, const BundleParts& parts) {
  return write_bundle(path, parts.bytes(), parts.bundle_digest());
}

}  // namespace velk::testing
