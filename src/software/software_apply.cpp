#include "software/software_apply.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/digest.h"
#include "core/fs.h"
#include "core/fs_at.h"
#include "core/json.h"
#include "product/declaration.h"
#include "software/artifact.h"
#include "software/prefix_start.h"
#include "software/program_dir.h"

namespace velk {

namespace {

std::string product_word() { return std::string(declaration().executable_name); }

Error state_error(std::string message) {
  return make_error(ErrorKind::state_unavailable, std::move(message));
}

Error mismatch(std::string message) {
  return make_error(ErrorKind::integrity_mismatch, std::move(message));
}



// The artifact must be exactly the planned bytes. The length is compared
// before anything is hashed, so a short or padded download is refused
// without reading it; then the digest must name a pinned release and be the
// planned one.
Result<RecognisedArtifact> check_artifact(const std::string& artifact,
                                          const PlannedSoftware& planned) {
  // Non-blocking, so a FIFO named as the artifact cannot stall the open.
  const int fd = retry_eintr(
      [&] { return ::open(artifact.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); });
  if (fd < 0)
    return state_error("downloaded artifact could not be opened: " + errno_text(errno));
  const Fd closer(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0)
    return state_error("downloaded artifact could not be opened: " + errno_text(errno));
  if (!S_ISREG(st.st_mode))
    return state_error("downloaded artifact could not be opened: " + artifact +
                       " is not a regular file");
  const auto length_error = [&](uint64_t n) {
    return mismatch(artifact + " is " + std::to_string(n) + " bytes; the plan named " +
                    std::to_string(planned.build.byte_length));
  };
  if (static_cast<uint64_t>(st.st_size) != planned.build.byte_length)
    return length_error(static_cast<uint64_t>(st.st_size));
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

  Sha256 sha;
  uint64_t count = 0;
  char buffer[65536];
  for (;;) {
    const ssize_t n = retry_eintr([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n < 0) return state_error("downloaded artifact could not be read: " + errno_text(errno));
    if (n == 0) break;
    sha.update(buffer, static_cast<size_t>(n));
    count += static_cast<uint64_t>(n);
  }
  // The file may have grown or shrunk since it was measured.
  if (count != planned.build.byte_length) return length_error(count);
  const std::string digest = sha.finish();

  VELK_ASSIGN(const RecognisedArtifact recognised, recognise_digest(digest));
  if (digest != planned.build.sha256)
    return mismatch(artifact + " hashes to " + digest + "; the plan named " + planned.build.sha256);
  if (recognised.release->version != planned.version)
    return mismatch(artifact + " is " + product_word() + " " + recognised.release->version +
                    "; the plan named " + planned.version);
  return recognised;
}

// A name below the prefix that must not be a link: refused, never followed.
Status refuse_link(const Dir& prefix, const std::string& name) {
  const auto st = prefix.stat(name);
  if (st && S_ISLNK(st->st_mode))
    return state_error(prefix.below(name) +
                       " is a symbolic link, which this build does not follow inside a prefix; "
                       "no effect was made");
  return {};
}

// Fills P/.incoming-V from the artifact. Returns the number of files placed.
Result<uint64_t> stage(const std::string& artifact, const Dir& prefix, const std::string& version,
                       const Build& build) {
  const std::string name = ".incoming-" + version;
  const std::string incoming = prefix.below(name);
  // Whatever stands there goes first; a link is unlinked, never followed.
  if (const int e = prefix.remove(name); e != 0)
    return state_error(incoming + " could not be cleared: " + errno_text(e));
  auto made = prefix.make(name);
  if (!made.ok()) return state_error(incoming + " could not be created: " + errno_text(made.error()));
  const Dir staged = std::move(made).value();
  VELK_ASSIGN(const uint64_t files,
              extract_artifact(artifact, build.format, staged, build.byte_length));
  // The whole tree, files and directories, is on disk before it is
  // promoted and recorded.
  if (const int e = flush_tree_at(staged.fd()); e != 0)
    return state_error(incoming + " could not be flushed: " + errno_text(e));
  if (build.format != ArtifactForm::executable) {
    VELK_TRY(find_entry_point(staged, build.entry_point));
    return files;
  }
  // The artifact was hashed through its own descriptor and copied through
  // another: the placed program must still be the checked bytes.
  const std::string program = staged.below(product_word());
  Fd fd(open_beneath(staged.fd(), product_word(), O_RDONLY | O_NONBLOCK));
  if (fd.get() < 0) return system_error(ErrorKind::state_unavailable, "cannot open " + program, errno);
  VELK_ASSIGN(const std::string placed, digest_fd(fd.get(), program));
  if (placed != build.sha256) {
    (void)prefix.remove(name);
    return mismatch(artifact + " changed after it was checked: the placed bytes hash to " +
                    placed + "; the plan named " + build.sha256);
  }
  return files;
}

// Steps the installed tree aside, lands the staged one and clears the old.
Status land(const Dir& prefix, const std::string& version) {
  const std::string incoming = ".incoming-" + version;
  const std::string replaced = ".replaced-" + version;
  bool stepped_aside = false;
  if (prefix.stat(version)) {
    if (const int e = prefix.rename(version, replaced); e != 0)
      return state_error("the installed " + version + " tree could not be moved aside: " +
                         errno_text(e));
    stepped_aside = true;
  }
  if (const int e = prefix.rename(incoming, version); e != 0) {
    const std::string reason = errno_text(e);
    std::string suffix;
    if (stepped_aside && prefix.rename(replaced, version) != 0)
      suffix = ". The previous tree is in .replaced-<version> and was not put back";
    return state_error("the staged " + version + " tree could not be promoted: " + reason +
                       suffix);
  }
  (void)prefix.sync();
  // A failure here is finished by the next run's recovery scan.
  if (stepped_aside) (void)prefix.remove(replaced);
  return {};
}

Status install(const Dir& prefix, Operation operation, const PlannedSoftware& planned,
               const std::string& artifact, SoftwareApplyResult& result) {
  if (operation == Operation::software_update) {
    VELK_ASSIGN(const Inventory inventory, take_inventory(prefix));
    if (inventory.installed.empty())
      return state_error("there is no " + product_word() + " under " + prefix.path() +
                         " to update any more; software_install is the operation that puts "
                         "one there");
  }
  VELK_ASSIGN(const RecognisedArtifact recognised, check_artifact(artifact, planned));
  const std::string version = recognised.release->version;
  VELK_TRY(refuse_link(prefix, version));
  VELK_TRY(refuse_link(prefix, "bin"));
  VELK_ASSIGN(result.files, stage(artifact, prefix, version, *recognised.build));
  VELK_TRY(land(prefix, version));
  VELK_TRY(expose_version(prefix, version));
  result.version = version;
  result.executable = command_path(prefix.path());
  return {};
}

Status remove(const Dir& prefix, const std::string& version, SoftwareApplyResult& result) {
  result.version = version;
  const auto tree = prefix.stat(version);
  if (!tree) return {};
  VELK_TRY(refuse_link(prefix, version));
  VELK_TRY(refuse_link(prefix, "bin"));
  VELK_ASSIGN(const Inventory inventory, take_inventory(prefix));
  if (const int e = prefix.remove(version); e != 0)
    return state_error("the " + version + " tree could not be removed: " + errno_text(e));
  result.removed = true;
  // Another exposed version keeps its command.
  if (inventory.exposed && *inventory.exposed != version) return {};
  auto bin = prefix.open("bin");
  if (!bin.ok()) return {};  // no bin: no command to take away
  const std::string command = command_path(prefix.path());
  if (const int e = bin->remove(product_word()); e != 0)
    return state_error(command + " could not be removed: " + errno_text(e));
  (void)bin->unlink("." + product_word() + ".version");
  return {};
}

}  // namespace

Json software_apply_document(const SoftwareApplyResult& result) {
  Json doc = Json::object();
  doc["state"] = "verified";
  doc["recovered"] = result.recovered;
  doc["operation"] = std::string(operation_name(result.operation));
  doc["command"] = product_word();
  doc["version"] = result.version;
  if (result.operation == Operation::software_remove) {
    doc["removed"] = result.removed;
  } else {
    doc["entry_point"] = "bin/" + product_word();
    doc["executable"] = result.executable;
    doc["files"] = result.files;
  }
  return doc;
}

Result<SoftwareApplyResult> apply_software_operation(Operation operation,
                                                     std::optional<std::string_view> prefix_text,
                                                     const PlannedSoftware& planned,
                                                     const std::vector<std::string>& artifacts) {
  const std::string name(operation_name(operation));
  if (!is_software_operation(operation))
    return make_error(ErrorKind::unsupported_operation, name + " is not a software operation");
  if (!prefix_text || prefix_text->empty() || prefix_text->front() != '/')
    return state_error(name +
                       " installs a program, which lives under --prefix, not under --target; "
                       "name an absolute --prefix");
  // The artifact count is an argument error: refused before the prefix is
  // created or locked.
  if (operation == Operation::software_remove) {
    if (!artifacts.empty())
      return state_error("software_remove downloads nothing, so it takes no --software-artifact");
  } else if (artifacts.size() != 1) {
    return state_error(name + " installs the 1 artifact the plan named, and " +
                       std::to_string(artifacts.size()) +
                       " were given; pass one --software-artifact per entry, in the plan's order");
  }
  if (!is_version_name(planned.version))
    return state_error(planned.version + " is not a version this build can place under --prefix");

  const std::string prefix = prefix_path(*prefix_text);
  VELK_ASSIGN(PrefixSession session, start_prefix_operation(prefix, name));
  SoftwareApplyResult result;
  result.operation = operation;
  result.recovered = std::move(session.notes);
  if (operation == Operation::software_remove) {
    VELK_TRY(remove(session.prefix, planned.version, result));
  } else {
    VELK_TRY(install(session.prefix, operation, planned, artifacts.front(), result));
  }
  return result;
}

}  // namespace velk
