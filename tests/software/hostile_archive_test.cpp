// Archives built to make extraction do more work than their size allows, refused in a child
// whose generous bounds only show that the cost does not grow with the hostile part.
#include "extract_fixture.h"
#include "support/usage.h"

namespace velk::testing {
namespace {

constexpr ArtifactForm kTgz = ArtifactForm::tar_gzip;
// Well above what an extraction needs, well below what the old readers took.
constexpr long kMemoryBoundKib = 256 * 1024;
constexpr double kTimeBoundSeconds = 15;

class HostileArchive : public ExtractTest {
 protected:
  // The refusal, extracted in a child whose usage is checked.
  std::string refused(const std::string& name, ArtifactForm form) {
    const std::string message_file = tmp_ / "message";
    const ChildUsage usage = run_measured([&] {
      write_text(message_file, failure(name, form));
      return 0;
    });
    EXPECT_EQ(usage.exit_code, 0);
    EXPECT_LT(usage.max_rss_kib, kMemoryBoundKib);
    EXPECT_LT(usage.cpu_seconds, kTimeBoundSeconds);
    return read_text(message_file);
  }
};

TEST_F(HostileArchive, EveryInflatedByteCountsHeadersAndTrailingDataIncluded) {
  // 70 pax headers of 1 MiB each around empty files; 80 MiB of gzip data after the end.
  craft(R"(
record = pax([('comment', 'x' * ((1 << 20) - 32))])
write_tgz('pax.tgz', (header('./PaxHeaders/f', len(record), flag=b'x') + record +
                      b'\0' * (-len(record) % 512)) * 70, entry('f'), END)
write_tgz('trailing.tgz', entry('f', 'x'), END, bytes(80 << 20))
)");
  const std::string over = "archive inflates past the 67108864 bytes this extraction allows";
  EXPECT_EQ(refused("pax.tgz", kTgz), over);
  reset();
  EXPECT_EQ(refused("trailing.tgz", kTgz), "archive did not end cleanly: " + over);
}

TEST_F(HostileArchive, ALongOrDeepNameIsRefusedBeforeAnythingIsCreated) {
  // GNU long names of 524,000 and of 300 segments, a pax header one byte
  // over what the reader holds, and a zip entry name of 65,000 bytes.
  craft(R"(
def long_name(path, name):
    write_tgz(path, header('././@LongLink', len(name) + 1, flag=b'L', magic=GNU) + name +
              b'\0' * (-(len(name)) % 512 or 512), entry('ignored', 'x', magic=GNU), END)
long_name('huge.tgz', b'd/' * 524000 + b'f')
long_name('deep.tgz', b'd/' * 300 + b'f')
write_tgz('pax-over.tgz', header('./PaxHeaders/f', (1 << 20) + 1, flag=b'x'),
          b'x' * ((1 << 20) + 512), entry('f'), END)
with zipfile.ZipFile('long.zip', 'w') as z:
    z.writestr('a' * 65000, b'x')
)");
  EXPECT_EQ(refused("huge.tgz", kTgz),
            "an archive entry path is 1048001 bytes, more than the 4096 this extraction allows");
  EXPECT_EQ(refused("deep.tgz", kTgz),
            "an archive entry path has 301 segments, more than the 256 this extraction allows");
  EXPECT_EQ(refused("pax-over.tgz", kTgz),
            "refusing a pax extended header of 1048577 bytes: this reader holds at most 1048576 "
            "bytes of one");
  EXPECT_EQ(refused("long.zip", ArtifactForm::zip),
            "an archive entry path is 65000 bytes, more than the 4096 this extraction allows");
  EXPECT_EQ(tree_listing(dest()), Lines{});
}

}  // namespace
}  // namespace velk::testing
