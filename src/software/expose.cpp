// Exposing a version: the command link, then the marker, then the record.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "core/digest.h"
#include "core/fs.h"
#include "core/fs_at.h"
#include "product/declaration.h"
#include "software/program_dir.h"

namespace velk {

Status expose_version(const Dir& prefix, std::string_view version) {
  const std::string& root = prefix.path();
  const std::string command = command_path(root);
  const auto fail = [&](const std::string& reason) {
    return make_error(ErrorKind::state_unavailable, command + " could not be exposed: " + reason);
  };
  const auto not_followed = [&](const std::string& path, int err) {
    if (err == ELOOP) return fail(path + " is a symbolic link, which this build does not follow");
    if (err == ENOTDIR) return fail(path + " is not a directory");
    return fail("cannot open " + path + ": " + errno_text(err));
  };
  const std::string word(declaration().executable_name);
  const std::string relative = path_join(version, program_in_version(version));
  const std::string program = path_join(root, relative);

  auto bin = prefix.open_or_make("bin");
  if (!bin.ok()) return not_followed(bin_dir(root), bin.error());

  // Whatever stands at the command's name goes, looked at without following
  // it: an older link, a plain file, anything.
  if (const int e = bin->remove(word); e != 0)
    return fail("cannot remove " + command + ": " + errno_text(e));
  if (::symlinkat(program.c_str(), bin->fd(), word.c_str()) != 0)
    return fail("cannot link " + command + " to " + program + ": " + errno_text(errno));
  if (const auto& owner = bin->owner())
    if (::fchownat(bin->fd(), word.c_str(), owner->uid, owner->gid, AT_SYMLINK_NOFOLLOW) != 0)
      return fail("cannot link " + command + " to " + program + ": " + errno_text(errno));

  auto marker = write_through_sibling(*bin, "." + word + ".version", version);
  if (!marker.ok()) return fail(marker.error().full());

  // The program is hashed through a descriptor reached beneath the prefix:
  // a version tree that is a link is never followed.
  auto tree = prefix.open(version);
  if (!tree.ok()) return not_followed(version_dir(root, version), tree.error());
  Fd fd(open_beneath(tree->fd(), program_in_version(version), O_RDONLY | O_NONBLOCK));
  if (fd.get() < 0)
    return system_error(ErrorKind::state_unavailable, "cannot open " + program, errno);
  VELK_ASSIGN(const std::string digest, digest_fd(fd.get(), program));
  const std::string record = installation_record(version, relative, digest);
  auto written = write_through_sibling(*bin, "." + word + ".manifest.json", record);
  if (!written.ok()) return fail(written.error().full());
  return {};
}

}  // namespace velk
