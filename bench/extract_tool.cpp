// Extracts one gzip-compressed tar archive into an existing, empty directory
// with the program's artifact reader -- the code a software install runs on
// an archive release -- and nothing else, so that bench/run can time it as a
// process beside `tar -xzf` of the same file.
//
// Run: build-bench/bench/extract_tool ARCHIVE DEST
// Exit 0 when every entry was placed, 1 when the reader refused or failed,
// 2 on wrong usage.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

#include "software/artifact.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: extract_tool ARCHIVE DEST\n");
    return 2;
  }
  struct stat st;
  if (::stat(argv[1], &st) != 0) {
    std::fprintf(stderr, "extract_tool: cannot read %s\n", argv[1]);
    return 1;
  }
  const auto dest = velk::Dir::open_root(argv[2]);
  if (!dest.ok()) {
    std::fprintf(stderr, "extract_tool: cannot open %s\n", argv[2]);
    return 1;
  }
  const auto placed = velk::extract_artifact(argv[1], velk::ArtifactForm::tar_gzip, *dest,
                                             static_cast<uint64_t>(st.st_size));
  if (!placed.ok()) {
    std::fprintf(stderr, "extract_tool: %s\n", placed.error().full().c_str());
    return 1;
  }
  return 0;
}
