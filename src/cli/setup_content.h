// A catalog setup's home tree read into the files an install writes. A
// catalog named by the override variable is not trusted to be sound: a
// setup that would write outside what the scope owns, onto a path the
// product keeps to itself, or that holds a link or a special file is
// refused here, before anything is written.
#pragma once

#include <optional>

#include "core/error.h"
#include "product/catalog.h"
#include "product/declaration.h"
#include "protocol/apply_plan.h"

namespace velk {

// Every regular file below the setup's home, at its path relative to home,
// with mode 0755 when its owner may execute it and 0644 otherwise; the
// record names the setup and its definition digest.
Result<SetupContent> read_setup_content(const CatalogSetup& setup,
                                        std::optional<TargetScope> scope);

}  // namespace velk
