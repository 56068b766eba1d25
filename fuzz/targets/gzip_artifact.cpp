// GzipReader against zlib's own gzip decoding of the same file: it accepts
// exactly the members zlib accepts and inflates them to the same bytes (zlib
// also checks the optional header checksum, which the reader skips: a member
// whose only fault is that checksum is compared by its bytes alone). The same
// input extracted in the program form is one executable file holding it.
#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstring>

#include "core/fs.h"
#include "software/gzip_reader.h"
#include "support/extraction.h"

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
  unsigned char buffer[64 * 1024];
  Status status = reader.start();
  while (status.ok() && inflated.size() <= kMaxInflated) {
    auto got = reader.read(buffer, sizeof buffer);
    if (!got.ok()) {
      status = std::move(got).error();
    } else if (*got == 0) {
      status = reader.finish();
      break;
    } else {
      inflated.append(reinterpret_cast<char*>(buffer), *got);
    }
  }
  const bool too_long = inflated.size() > kMaxInflated;
  if (!status.ok()) check_error(status.error(), ErrorKind::state_unavailable);

  if (!too_long) {
    Inflated theirs = zlib_gunzip(input, true);
    if (!theirs.ok && theirs.header_crc_only) theirs = zlib_gunzip(input, false);
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
  const auto placed =
      extract_artifact(path, ArtifactForm::executable, *Dir::open_root(destination), size);
  VELK_FUZZ_CHECK(must(placed) == 1, std::to_string(*placed));
  const std::vector<std::string> names = entries_of(destination);
  VELK_FUZZ_CHECK(names.size() == 1, std::to_string(names.size()));
  const std::string program = destination + "/" + names[0];
  const auto st = lstat_path(program);
  VELK_FUZZ_CHECK(st && S_ISREG(st->st_mode) && (st->st_mode & 07777) == 0755, program);
  VELK_FUZZ_CHECK(must(read_file(program, "cannot read the placed program")) == input,
                  "the placed program differs from the input");
  must(remove_path(destination), destination);
  return 0;
}
