#include "cli/legacy_stamp.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "core/digest.h"
#include "core/fs.h"
#include "core/fs_at.h"
#include "core/json.h"
#include "product/declaration.h"
#include "product/write_rule.h"

namespace velk {
namespace {

Mapped<std::vector<std::pair<std::string, std::string>>> claimed_files(const Json& doc) {
  const Json* files = find_member(doc, "managed_files");
  if (!files) return std::string("missing field `managed_files`");
  if (!files->is_object())
    return "invalid type for field `managed_files`: expected an object, found " +
           json_type_words(*files);
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& [path, recorded] : files->items()) {
    if (!recorded.is_string())
      return "invalid type for field `managed_files`: expected a string for each path, found " +
             json_type_words(recorded);
    out.emplace_back(path, recorded.get<std::string>());
  }
  return out;
}

}  // namespace

Mapped<StampParse> parse_legacy_stamp(std::string_view text) {
  static const std::vector<std::string_view> kMembers = {
      "schema_version", "product_name", "build_version", "setup_id", "canonical_target",
      "managed_files"};
  auto parsed = parse_json_members(text, kMembers, 1 << 20);
  if (!parsed.ok()) return std::move(parsed).error();
  const Json& doc = parsed.value();
  if (auto object = as_object(doc); !object.ok()) return std::move(object).error();

  // The schema decides how the rest reads, so it is judged first.
  auto schema = field_u64(doc, "schema_version");
  if (!schema.ok()) return std::move(schema).error();
  if (*schema != kLegacyStampSchema) return StampParse{std::nullopt, *schema};

  LegacyStamp stamp;
  const std::pair<std::string_view, std::string*> strings[] = {
      {"product_name", &stamp.product_name},
      {"build_version", &stamp.build_version},
      {"setup_id", &stamp.setup_id},
      {"canonical_target", &stamp.canonical_target},
  };
  for (const auto& [name, field] : strings) {
    auto value = field_string(doc, name);
    if (!value.ok()) return std::move(value).error();
    *field = std::move(*value);
  }
  auto files = claimed_files(doc);
  if (!files.ok()) return std::move(files).error();
  stamp.managed_files = std::move(*files);
  return StampParse{std::move(stamp), std::nullopt};
}

bool claim_is_owned(std::string_view path) {
  // What a record of this provider may name under the global scope: the
  // credentials, sessions and managed policy inside an owned directory stay
  // the product's, whatever an old stamp says.
  return !recorded_path_refusal(path, std::nullopt).has_value();
}

bool claimed_file_matches(const Dir& target, const std::string& relative,
                          const std::string& digest) {
  const Fd fd(open_beneath(target.fd(), relative, O_RDONLY | O_NONBLOCK));
  struct stat st;
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const auto found = digest_fd(fd.get(), target.below(relative));
  return found.ok() && *found == digest;
}

}  // namespace velk
