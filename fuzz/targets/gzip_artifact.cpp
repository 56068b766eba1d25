// The gzip member reader of software artifacts (GzipReader), read from the
// process's input file, against zlib's own gzip decoding of the same bytes:
// the reader accepts exactly the members zlib accepts (zlib also verifies an
// optional header checksum, which the reader skips, so a member whose only
// fault is that checksum is compared by its inflated bytes alone) and
// inflates them to the same bytes. A refusal is a state_unavailable error.
// The same input is then extracted in the program form, which must give one
// executable file holding exactly the input.
#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstring>

#include "core/fs.h"
#include "software/gzip_reader.h"
#include "support/extraction.h"
#include "support/fuzz_support.h"

using namespace velk;
using namespace velk::fuzz;

namespace {

constexpr size_t kMaxInflated = 64u << 20;

struct Inflated {
  bool ok = false;
  bool header_crc_only = false;  // failed on the header checksum alone
  std::string bytes;
};

Inflated zlib_gunzip(std::string_view input, bool validate) {
  Inflated result;
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) fail("inflateInit2", "");
  if (!validate) inflateValidate(&z, 0);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  z.avail_in = static_cast<uInt>(input.size());
  unsigned char buffer[64 * 1024];
  for (;;) {
    z.next_out = buffer;
    z.avail_out = sizeof buffer;
    const int rc = inflate(&z, Z_NO_FLUSH);
    result.bytes.append(reinterpret_cast<char*>(buffer), sizeof buffer - z.avail_out);
    if (rc == Z_STREAM_END) {
      result.ok = true;
      if (!validate) {
        // zlib skipped the trailer's checks with the header's: made here.
        const size_t end = input.size() - z.avail_in;
        const auto le32 = [&](size_t at) {
          uint32_t v = 0;
          for (int k = 3; k >= 0; --k) v = v << 8 | static_cast<unsigned char>(input[at + k]);
          return v;
        };
        const auto crc = static_cast<uint32_t>(
            crc32_z(crc32_z(0, Z_NULL, 0), reinterpret_cast<const Bytef*>(result.bytes.data()),
                    result.bytes.size()));
        result.ok = end >= 8 && le32(end - 8) == crc &&
                    le32(end - 4) == static_cast<uint32_t>(result.bytes.size());
      }
      break;
    }
    if (rc != Z_OK || result.bytes.size() > kMaxInflated) {
      result.header_crc_only = z.msg && std::strcmp(z.msg, "header crc mismatch") == 0;
      break;
    }
  }
  inflateEnd(&z);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = as_text(data, size);
  const std::string& path = input_file(input);

  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) fail("open", path);
  GzipReader reader(fd.get());
  std::string inflated;
  Status status = reader.start();
  bool too_long = false;
  if (status.ok()) {
    unsigned char buffer[64 * 1024];
    for (;;) {
      auto got = reader.read(buffer, sizeof buffer);
      if (!got.ok()) {
        status = std::move(got).error();
        break;
      }
      if (*got == 0) break;
      inflated.append(reinterpret_cast<char*>(buffer), *got);
      if (inflated.size() > kMaxInflated) {
        too_long = true;
        break;
      }
    }
    if (status.ok() && !too_long) status = reader.finish();
  }
  if (!status.ok()) check_error_kind(status.error(), ErrorKind::state_unavailable);

  if (!too_long) {
    Inflated theirs = zlib_gunzip(input, true);
    if (!theirs.ok && theirs.header_crc_only) {
      theirs = zlib_gunzip(input, false);
      theirs.header_crc_only = true;
    }
    if (theirs.bytes.size() <= kMaxInflated) {
      VELK_FUZZ_CHECK(status.ok() == theirs.ok,
                      status.ok() ? "accepted a member zlib refuses"
                                  : "refused a member zlib accepts: " + status.error().full());
      if (status.ok())
        VELK_FUZZ_CHECK(inflated == theirs.bytes, "inflated bytes differ from zlib's");
    }
  }

  // The program form: the artifact itself, executable.
  const std::string destination = fresh_dir();
  auto placed =
      extract_artifact(path, ArtifactForm::executable, *Dir::open_root(destination), size);
  VELK_FUZZ_CHECK(placed.ok() && *placed == 1, placed.ok() ? "" : placed.error().full());
  const std::vector<std::string> names = entries_of(destination);
  VELK_FUZZ_CHECK(names.size() == 1, std::to_string(names.size()));
  const std::string program = destination + "/" + names[0];
  const auto st = lstat_path(program);
  VELK_FUZZ_CHECK(st && S_ISREG(st->st_mode) && (st->st_mode & 07777) == 0755, program);
  auto copied = read_file(program, "cannot read the placed program");
  VELK_FUZZ_CHECK(copied.ok() && *copied == input, "the placed program differs from the input");
  VELK_FUZZ_CHECK(remove_path(destination).ok(), destination);
  return 0;
}
