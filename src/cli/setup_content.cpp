#include "cli/setup_content.h"

#include <sys/stat.h>

#include <deque>
#include <memory>

#include "core/fs.h"
#include "core/text.h"
#include "product/write_rule.h"

namespace velk {
namespace {

class HomeReader {
 public:
  HomeReader(const CatalogSetup& setup, std::optional<TargetScope> scope)
      : setup_(setup), scope_(scope) {}

  Status read(const std::string& dir, const std::string& relative) {
    VELK_ASSIGN(const auto names, list_directory(dir));
    for (const auto& name : names) {
      const std::string path = path_join(dir, name);
      const std::string inner = relative.empty() ? name : relative + "/" + name;
      int err = 0;
      const auto st = lstat_path(path, &err);
      if (!st) {
        if (err == 0) continue;  // gone since the listing
        return system_error(ErrorKind::state_unavailable, "cannot stat " + path, err);
      }
      if (S_ISDIR(st->st_mode)) {
        VELK_TRY(read(path, inner));
      } else if (S_ISLNK(st->st_mode)) {
        return refuse(inner, "is a symbolic link, and a setup holds regular files only");
      } else if (!S_ISREG(st->st_mode)) {
        return refuse(inner, "is neither a file nor a directory");
      } else {
        VELK_TRY(take_file(path, inner, st->st_mode));
      }
    }
    return {};
  }

  SetupContent take() {
    content_.storage = std::move(bytes_);
    return std::move(content_);
  }

 private:
  Error refuse(const std::string& inner, const std::string& why) const {
    return make_error(ErrorKind::unsupported_native_surface,
                      "setup " + quoted_form(setup_.id) + " cannot be written: " +
                          quoted_form(inner) + " " + why + "; no effect was made");
  }

  Status take_file(const std::string& path, const std::string& inner, mode_t mode) {
    const std::string provider(declaration().provider_id);
    if (const auto refused = write_refusal(inner, scope_)) {
      if (refused->why != WriteRefusal::Why::outside_surface)
        return refuse(inner, "is a path " + provider + " never touches");
      return refuse(inner, "lies outside the entries " + provider + " owns" +
                               (scope_ == TargetScope::user_root
                                    ? " under target_scope " + std::string(scope_name(*scope_))
                                    : std::string()));
    }
    if (!is_valid_utf8(inner)) return refuse(inner, "has a name that is not UTF-8");
    VELK_ASSIGN(std::string bytes, read_file(path, "cannot read " + path));
    const std::string& kept = bytes_->emplace_back(std::move(bytes));
    content_.files.emplace(inner, BundleFileData{kept, (mode & 0100) ? 0755u : 0644u});
    return {};
  }

  const CatalogSetup& setup_;
  std::optional<TargetScope> scope_;
  SetupContent content_;
  // The files' bytes; a deque never moves what it holds as it grows.
  std::shared_ptr<std::deque<std::string>> bytes_ = std::make_shared<std::deque<std::string>>();
};

}  // namespace

Result<SetupContent> read_setup_content(const CatalogSetup& setup,
                                        std::optional<TargetScope> scope) {
  HomeReader reader(setup, scope);
  VELK_TRY(reader.read(setup.home(), ""));
  SetupContent content = reader.take();
  content.record.setup_stable_id = setup.id;
  content.record.setup_definition_digest = setup.definition_digest;
  return content;
}

}  // namespace velk
