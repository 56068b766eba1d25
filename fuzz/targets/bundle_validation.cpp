// read_bundle under every requested scope, claimed with the manifest's own
// bundle_digest (so that fuzzing gets past the digest checks). A refusal has a
// bundle reader's code; a validated bundle keeps the claim, the declared files
// (digests, lengths, modes, paths within the path rules and the scope's
// surfaces) and the bound scope; none accepts what another scope accepts, as
// the same bundle; at most one other scope accepts an input. The mutator mostly
// changes one manifest value, path or member and restates the digests.
#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "bundle/bundle.h"
#include "bundle/container.h"
#include "core/digest.h"
#include "core/json.h"
#include "core/path_rules.h"
#include "core/text.h"
#include "product/profile.h"
#include "support/bundle_zip.h"
#include "support/fuzz_support.h"

namespace {

// The codes of the container, the path rules and bundle validation.
const std::vector<ReasonCode> kBundleCodes = {
    ReasonCode::adaptation_binding_missing,  ReasonCode::adaptation_binding_mismatch,
    ReasonCode::digest_mismatch,             ReasonCode::limit_exceeded,
    ReasonCode::link_not_allowed,            ReasonCode::path_duplicate,
    ReasonCode::path_escapes_target,         ReasonCode::path_not_relative,
    ReasonCode::special_file_not_allowed,    ReasonCode::unsupported_bundle_format,
    ReasonCode::unsupported_component_kind,  ReasonCode::unsupported_native_surface,
    ReasonCode::unsupported_protocol_version, ReasonCode::projection_profile_mismatch,
};

struct Parts {
  std::vector<ZipMember> members;
  Json manifest;
};

std::optional<Parts> take_apart(std::string_view bytes) {
  auto members = read_container(bytes);
  if (!members.ok() || members->empty() || (*members)[0].name != kManifestMember)
    return std::nullopt;
  Parts parts;
  parts.members = zip_members(*members);
  auto document = parse_json(parts.members[0].data);
  if (!document.ok() || !document->is_object()) return std::nullopt;
  parts.manifest = std::move(document).value();
  return parts;
}

void check_validated(const ValidatedBundle& v, const BundleClaim& claim, RequestedScope scope,
                     std::string_view bytes) {
  VELK_FUZZ_CHECK(v.claim == claim, "the validated bundle names another claim");
  const BundleManifest& m = v.manifest;
  VELK_FUZZ_CHECK(m.bundle_digest == claim.bundle_digest, m.bundle_digest);
  VELK_FUZZ_CHECK(m.files.size() <= m.limits.effective_files(), std::to_string(m.files.size()));
  VELK_FUZZ_CHECK(bytes.size() <= m.limits.effective_bundle_bytes(), "bundle limit");

  if (scope == RequestedScope::global) VELK_FUZZ_CHECK(!v.bound_scope, "bound, under global");
  if (scope == RequestedScope::project)
    VELK_FUZZ_CHECK(v.bound_scope == TargetScope::project, "project accepted another scope");
  if (scope == RequestedScope::user_root)
    VELK_FUZZ_CHECK(v.bound_scope == TargetScope::user_root, "user_root accepted another scope");

  std::set<std::string> declared;
  for (const BundleFile& f : m.files) declared.insert(f.path);
  VELK_FUZZ_CHECK(declared.size() == m.files.size(), "a path declared twice was accepted");
  VELK_FUZZ_CHECK(declared.size() == v.files.size(), std::to_string(v.files.size()));
  const std::vector<std::string> surfaces =
      scope == RequestedScope::user_root ? declaration().user_root_profile.native_namespaces
                                         : declaration().owned_paths();
  for (const BundleFile& f : m.files) {
    const auto it = v.files.find(f.path);
    VELK_FUZZ_CHECK(it != v.files.end(), quoted_form(f.path));
    VELK_FUZZ_CHECK(it->second.bytes.size() == f.byte_length, quoted_form(f.path));
    VELK_FUZZ_CHECK(digest_bytes(it->second.bytes) == f.digest, quoted_form(f.path));
    VELK_FUZZ_CHECK(it->second.mode == f.mode && (f.mode == 0644 || f.mode == 0755),
                    quoted_form(f.path));
    VELK_FUZZ_CHECK(f.kind == "file", quoted_form(f.path) + " " + f.kind);
    VELK_FUZZ_CHECK(f.byte_length <= m.limits.effective_file_bytes(), quoted_form(f.path));
    VELK_FUZZ_CHECK(check_bundle_path(f.path).ok(), quoted_form(f.path));
    VELK_FUZZ_CHECK(std::ranges::any_of(surfaces, [&](const std::string& s) {
                      return f.path == s || starts_with(f.path, s + "/");
                    }), quoted_form(f.path));
  }
  const auto members = read_container(bytes);
  VELK_FUZZ_CHECK(members.ok() && members->size() >= 4, "the container reads differently");
  const SetupPassport passport = parse_passport((*members)[1].bytes);
  VELK_FUZZ_CHECK(v.setup_stable_id == passport.stable_id && v.setup_version == passport.version,
                  v.setup_stable_id);
}

// What two validations of the same bytes must agree on.
bool same_bundle(const ValidatedBundle& a, const ValidatedBundle& b) {
  if (a.bound_scope != b.bound_scope || a.files.size() != b.files.size()) return false;
  for (const auto& [path, data] : a.files) {
    const auto it = b.files.find(path);
    if (it == b.files.end() || it->second.bytes != data.bytes || it->second.mode != data.mode)
      return false;
  }
  return a.setup_stable_id == b.setup_stable_id && a.setup_version == b.setup_version;
}

// ---- The mutator -------------------------------------------------------

using Rng = std::minstd_rand;

size_t pick(Rng& rng, size_t n) { return n == 0 ? 0 : rng() % n; }
template <class T>
const T& pick_from(Rng& rng, const std::vector<T>& v) { return v[pick(rng, v.size())]; }

const std::vector<std::string> kPaths = [] {
  std::vector<std::string> p = {
      "AGENTS.md", "config.toml", "sandbox.toml", "skills/a/SKILL.md", "skills/b/ref.md",
      "skills", "agents/x.md", "plugins/p/plugin.json", "hooks/h.sh", "workflows/w.yml",
      "rules/r.md", "commands/c.md", "personas/p.md", "roles/r.md", "notes/x.md",
      "MIREL-VELK-PROVIDER.json", ".velk-setup-system/journal.json", "../x", "a/../b", "./a",
      "a//b", "skills/a/", "/abs", "~/x", "C:x", "skills\\a", "skills/CON", "skills/nul.txt",
      "skills/lpt\xc2\xb9", "skills/a:b", "skills/a?b", "skills/a.", "skills/a ",
      "skills/secrets.md", "skills/id_rsa", "skills/x.PEM", "Skills/A/SKILL.md",
      "skills/a/SKILL.md/x", "skills/\t", "", "skills/\xc3\xa9", "skills/\xe2\x84\xaa",
      "skills/\xc4\xb0", "AGENTS.md/x"};
  p.push_back("skills/" + std::string(255, 'a'));
  p.push_back("skills/" + std::string(256, 'a'));
  std::string long_path = "skills";
  while (long_path.size() < 1020) long_path += "/abcdefghij";
  p.push_back(long_path);
  return p;
}();

const std::vector<std::string> kWords = {
    "file", "symlink", "hardlink", "special", "directory", "global", "project", "user_root",
    "skill", "agent", "hook", "plugin", "setting", "instruction", "mcp", "command",
    "native_files", "marketplace", "package", "velk-build", "ai-stp-bundle/2",
    "ai-stp-bundle/1", "component.skills", "component.AGENTS.md", "", "\xff",
    "sha256:0000000000000000000000000000000000000000000000000000000000000000",
    "adaptation_0000000000000000000000000000000000000000000000000000000000000000"};

Json interesting_number(Rng& rng) {
  static const Json numbers[] = {0, 1, 2, 420, 493, 511, uint64_t{0xFFFFFFFF} + 1, ~uint64_t{0},
                                 -1, 1.5};
  return numbers[pick(rng, std::size(numbers))];
}

// Changes the bytes in place with libFuzzer's own mutations; the result is
// kept valid UTF-8 when `text` is set.
void mutate_bytes(std::string& s, Rng& rng, bool text) {
  if (s.empty()) s.push_back(static_cast<char>('a' + pick(rng, 26)));
  const size_t size = s.size();
  s.resize(size + 64);
  s.resize(LLVMFuzzerMutate(reinterpret_cast<uint8_t*>(s.data()), size, s.size()));
  if (text) s = lossy_utf8(s);
}

void collect(Json& value, std::vector<Json*>& out) {
  out.push_back(&value);
  if (value.is_array() || value.is_object())
    for (Json& child : value) collect(child, out);
}

// One change to one value somewhere in the manifest (which itself stays an
// object: only its members change).
void mutate_value(Json& manifest, Rng& rng) {
  std::vector<Json*> nodes;
  collect(manifest, nodes);
  const size_t chosen = pick(rng, nodes.size());
  Json& v = *nodes[chosen];
  switch (chosen == 0 ? 6 : pick(rng, 7)) {
    case 0:  // another string, or an element or member fewer
      if (v.is_string()) {
        std::string s = v.get<std::string>();
        mutate_bytes(s, rng, true);
        v = s;
      } else if ((v.is_array() || v.is_object()) && !v.empty()) {
        auto it = v.begin();
        std::advance(it, static_cast<long>(pick(rng, v.size())));
        v.erase(it);
      }
      break;
    case 1: v = pick_from(rng, kWords); break;
    case 2: v = pick_from(rng, kPaths); break;
    case 3: v = interesting_number(rng); break;
    case 4: {  // a value of another type
      static const Json others[] = {nullptr, true, Json::array(), Json::object(), "x"};
      v = others[pick(rng, std::size(others))];
      break;
    }
    case 5:  // an array element twice
      if (v.is_array() && !v.empty()) v.push_back(Json(v[pick(rng, v.size())]));
      break;
    default:  // a member more, or one set to null
      if (!v.is_object()) break;
      if (v.empty() || (rng() & 1)) {
        v["extra_" + std::to_string(pick(rng, 4))] = interesting_number(rng);
      } else {
        auto it = v.begin();
        std::advance(it, static_cast<long>(pick(rng, v.size())));
        it.value() = nullptr;
      }
      break;
  }
}

Json* array_member(Json& object, const char* name) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(name);
  return it != object.end() && it->is_array() ? &*it : nullptr;
}

ZipMember* member_named(Parts& parts, const std::string& name) {
  for (ZipMember& m : parts.members)
    if (m.name == name) return &m;
  return nullptr;
}

bool has_path(const Json& f) {
  return f.is_object() && f.contains("path") && f["path"].is_string();
}

// Moves a declared file to another path: the manifest entry, the member
// paths of its adaptations and the archive member alike.
void rename_file(Parts& parts, Rng& rng) {
  Json* files = array_member(parts.manifest, "files");
  if (!files || files->empty()) return;
  Json& file = (*files)[pick(rng, files->size())];
  if (!has_path(file)) return;
  const std::string old_path = file["path"].get<std::string>();
  std::string path = old_path;
  if (rng() & 1) {
    path = pick_from(rng, kPaths);
  } else {
    mutate_bytes(path, rng, true);
  }
  file["path"] = path;
  if (Json* adaptations = array_member(parts.manifest, "component_adaptations"))
    for (Json& a : *adaptations)
      if (Json* paths = array_member(a, "member_paths")) {
        for (Json& p : *paths)
          if (p == old_path) p = path;
        if (std::all_of(paths->begin(), paths->end(), [](const Json& p) { return p.is_string(); }))
          std::sort(paths->begin(), paths->end());
      }
  if (ZipMember* m = member_named(parts, "files/" + old_path)) m->name = "files/" + path;
}

// The declared digests and lengths from the archive's members.
void restate_files(Parts& parts) {
  Json* files = array_member(parts.manifest, "files");
  if (!files) return;
  for (Json& f : *files) {
    if (!has_path(f)) continue;
    if (const ZipMember* m = member_named(parts, "files/" + f["path"].get<std::string>())) {
      f["digest"] = digest_bytes(m->data);
      f["byte_length"] = m->data.size();
    }
  }
}

void reseal(Parts& parts) {
  Json rest = parts.manifest;
  rest.erase("bundle_digest");
  auto digest = digest_document(kBundleTag, rest);
  if (digest.ok()) parts.manifest["bundle_digest"] = *digest;
}

size_t mutate(uint8_t* data, size_t size, size_t max_size, unsigned int seed) {
  Rng rng(seed);
  std::optional<Parts> parts;
  if (pick(rng, 5) != 0) parts = take_apart(as_text(data, size));
  if (!parts) return LLVMFuzzerMutate(data, size, max_size);

  switch (pick(rng, 13)) {
    case 0: case 1: case 2: case 3: case 4: case 5: case 6:
      mutate_value(parts->manifest, rng);
      break;
    case 7: case 8: case 9:  // a member's bytes (the manifest's are written again below)
      mutate_bytes(parts->members[pick(rng, parts->members.size())].data, rng, false);
      break;
    default: rename_file(*parts, rng); break;
  }
  if (pick(rng, 10) != 0) restate_files(*parts);
  if (pick(rng, 20) != 0) reseal(*parts);
  parts->members[0].data = parts->manifest.dump(-1, ' ', false, Json::error_handler_t::replace);

  const std::string out = write_bundle_zip(parts->members);
  if (out.size() > max_size) return LLVMFuzzerMutate(data, size, max_size);
  std::copy(out.begin(), out.end(), data);
  return out.size();
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size,
                                          unsigned int seed) {
  try {
    return mutate(data, size, max_size, seed);
  } catch (const Json::exception&) {
    // The JSON library refused a change (a value of an unexpected type on
    // the way): this turn mutates the raw bytes instead.
    return LLVMFuzzerMutate(data, size, max_size);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes = as_text(data, size);
  BundleClaim claim;
  claim.path = input_file(bytes);
  claim.format = std::string(kBundleFormat);
  const auto parts = take_apart(bytes);
  const Json* digest = parts ? find_member(parts->manifest, "bundle_digest") : nullptr;
  claim.bundle_digest = digest && digest->is_string() ? digest->get<std::string>() : "";
  claim.artifact_digest = digest_bytes(bytes);
  claim.size = size;

  const auto none = read_bundle(claim, RequestedScope::none);
  if (!refused(none, kBundleCodes)) check_validated(*none, claim, RequestedScope::none, bytes);
  int accepted = 0;
  for (const RequestedScope scope :
       {RequestedScope::global, RequestedScope::project, RequestedScope::user_root}) {
    const auto bundle = read_bundle(claim, scope);
    if (refused(bundle, kBundleCodes)) continue;
    check_validated(*bundle, claim, scope, bytes);
    ++accepted;
    VELK_FUZZ_CHECK(none.ok(), "accepted under a scope, refused with none: " + none.error().full());
    VELK_FUZZ_CHECK(same_bundle(*none, *bundle), "two scopes validated the same bytes differently");
  }
  VELK_FUZZ_CHECK(accepted <= 1, "more than one scope accepted one bundle");
  return 0;
}
