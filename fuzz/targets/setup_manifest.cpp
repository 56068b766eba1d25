// Catalog setup manifests: parse_setup_manifest. A refusal has a message;
// text that is no JSON object never reads; a manifest that reads, written
// back as its four members, reads back as the same manifest.
#include "core/json.h"
#include "product/catalog.h"
#include "support/fuzz_support.h"

using namespace velk;
using namespace velk::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = as_text(data, size);
  auto manifest = parse_setup_manifest(text);
  if (!manifest.ok()) {
    VELK_FUZZ_CHECK(!manifest.error().empty(), "a refusal without a message");
    return 0;
  }
  auto document = parse_json(text);
  VELK_FUZZ_CHECK(document.ok() && document->is_object(), "a manifest from no JSON object");
  Json written = Json::object();
  written["schema_version"] = manifest->schema_version;
  written["id"] = manifest->id;
  written["description"] = manifest->description;
  written["sources"] = manifest->sources;
  const std::string bytes = compact_json(written);
  auto again = parse_setup_manifest(bytes);
  VELK_FUZZ_CHECK(again.ok(), again.ok() ? bytes : again.error() + "\n" + bytes);
  VELK_FUZZ_CHECK(again->schema_version == manifest->schema_version && again->id == manifest->id &&
                      again->description == manifest->description &&
                      again->sources == manifest->sources,
                  bytes);
  return 0;
}
