// Parses one JSON file with the program's strict reader and says only
// whether it parsed: exit 0 when it did, 1 when it did not (or the file
// cannot be read), 2 on wrong usage. bench/run times it beside Python's
// json.load of the same file.
//
// Run: build-bench/bench/json_parse_tool FILE
#include <cstdio>
#include <fstream>
#include <string>

#include "core/json.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: json_parse_tool FILE\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "json_parse_tool: cannot read %s\n", argv[1]);
    return 1;
  }
  // Read whole, as the program reads a document: its size, then its bytes.
  in.seekg(0, std::ios::end);
  std::string text(static_cast<size_t>(in.tellg()), '\0');
  in.seekg(0, std::ios::beg);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (!in) {
    std::fprintf(stderr, "json_parse_tool: cannot read %s\n", argv[1]);
    return 1;
  }
  const auto parsed = velk::parse_json(text);
  if (!parsed) {
    std::fprintf(stderr, "json_parse_tool: %s\n", parsed.error().c_str());
    return 1;
  }
  return 0;
}
