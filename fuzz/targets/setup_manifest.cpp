// Catalog setup manifests: parse_setup_manifest reads only from a JSON
// object, and a manifest written back as its four members reads back the same.
#include "core/json.h"
#include "product/catalog.h"
#include "support/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = as_text(data, size);
  const auto manifest = parse_setup_manifest(text);
  if (refused(manifest)) return 0;
  const auto document = parse_json(text);
  VELK_FUZZ_CHECK(document.ok() && document->is_object(), "a manifest from no JSON object");
  const std::string bytes =
      compact_json({{"schema_version", manifest->schema_version}, {"id", manifest->id},
                    {"description", manifest->description}, {"sources", manifest->sources}});
  const SetupManifest again = must(parse_setup_manifest(bytes), bytes);
  VELK_FUZZ_CHECK(again.schema_version == manifest->schema_version && again.id == manifest->id &&
                      again.description == manifest->description &&
                      again.sources == manifest->sources,
                  bytes);
  return 0;
}
