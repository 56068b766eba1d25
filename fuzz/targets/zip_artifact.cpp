// The zip reader of software artifacts, given the input as it is, with the
// checks of support/extraction.h.
#include "support/extraction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  extract_and_check(input_file(as_text(data, size)), ArtifactForm::zip, size);
  return 0;
}
