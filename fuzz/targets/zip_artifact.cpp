// The zip reader of software artifacts: the input is written to the
// process's input file as it is and extracted in the zip form with the
// limits of an artifact that size; the checks are those of
// support/extraction.h.
#include "support/extraction.h"
#include "support/fuzz_support.h"

using namespace velk;
using namespace velk::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = input_file(as_text(data, size));
  extract_and_check(path, ArtifactForm::zip, size);
  return 0;
}
