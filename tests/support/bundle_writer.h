// Bundles for tests: valid ones from a map of files, and, by editing the
// parts (then seal() to recompute the identity, or not), ones that break
// exactly one rule; write_bundle() writes them and returns the claim.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bundle/claim.h"
#include "core/json.h"
#include "product/declaration.h"

namespace velk::testing {

// One archive member with every field a test may want to break. The local
// header mirrors the central entry unless an override is set.
struct ZipEntry {
  std::string name;
  std::string data;
  uint32_t external_attributes = 0100644u << 16;
  uint16_t version_made_by = 0x031E;  // Unix creator, version 3.0
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t time = 0;
  uint16_t date = 0x0021;  // 1980-01-01
  std::string extra;
  std::string comment;
  std::optional<uint32_t> crc;                // default: the data's CRC-32
  std::optional<uint32_t> compressed_size;    // default: the data's length
  std::optional<uint32_t> uncompressed_size;  // default: the data's length

  std::optional<uint32_t> local_signature;
  std::optional<std::string> local_name;
  std::optional<uint16_t> local_flags;
  std::optional<uint16_t> local_method;
  std::optional<uint16_t> local_date;
  std::string local_extra;
};

struct ZipArchive {
  std::vector<ZipEntry> entries;
  std::string comment;
  uint16_t disk = 0;
  uint16_t central_disk = 0;
  std::optional<uint16_t> entries_on_disk;  // default: the entry count
  std::optional<uint16_t> total_entries;    // default: the entry count
  std::optional<uint32_t> central_offset;   // default: where it is written
};

// Local headers with data, central directory, end record, in entry order.
std::string serialise_zip(const ZipArchive& archive);

// External attributes of a regular file with the permission bits `mode`.
uint32_t file_attributes(uint32_t mode);

ZipEntry zip_entry(std::string name, std::string data, uint32_t attributes = 0100644u << 16);

uint32_t crc32_of(std::string_view data);

struct FileSpec {
  std::string bytes;
  uint32_t mode = 0644;
};

struct BundleParts {
  Json manifest;                             // bundle.json, "bundle_digest" included
  std::optional<std::string> manifest_text;  // when set, written instead of `manifest`
  std::string passport;
  std::string composition_report;
  std::string conversion_report;
  std::vector<ZipEntry> file_entries;  // the "files/..." members after the fixed four

  void seal();  // recomputes manifest["bundle_digest"] from the rest
  std::string bundle_digest() const;
  std::string manifest_bytes() const;
  ZipArchive archive() const;  // the four fixed members, then the file entries
  std::string bytes() const;
};

// A valid bundle for the global scope (nullopt) or another: one component
// per top-level entry, bound to the scope's profile (the main one for
// "project"), with a passport, both reports and the identity.
BundleParts make_bundle(const std::map<std::string, FileSpec>& files,
                        std::optional<TargetScope> scope = std::nullopt,
                        std::string_view setup_id = "test-setup",
                        std::string_view setup_version = "1.0.0");

// Writes the bytes to `path`; the claim names them exactly.
BundleClaim write_bundle(const std::string& path, std::string_view bytes,
                         std::string bundle_digest);
BundleClaim write_bundle(const std::string& path, const BundleParts& parts);

}  // namespace velk::testing
