// The one way a document file is replaced: staged beside the destination as
// ".{name}.staging", flushed to stable storage, renamed over the
// destination, and the directory flushed after the rename.
#pragma once

#include <string>
#include <string_view>

#include "core/error.h"

namespace velk {

// Errors (state_unavailable): "{D} has no parent directory", "{D} has no
// usable file name", "cannot create {P}", "cannot stage {S}", "cannot
// promote {S} to {D}". A failure leaves the destination as it was and no
// staging file behind.
Status write_file_atomically(const std::string& destination, std::string_view bytes);

// The same inside an open directory, for a destination that must be reached
// without following a link: `name` is one component of `dir_fd`, and
// `dir_display` names the directory in messages.
Status write_file_atomically_at(int dir_fd, const std::string& dir_display, const std::string& name,
                                std::string_view bytes);

}  // namespace velk
