// Provider dispatch: runs one parsed provider request and says how it ended.
// This is the protocol folder's public face for the command line.
#pragma once

#include <string>
#include <variant>

#include "core/error.h"
#include "core/json_fwd.h"
#include "protocol/request.h"

namespace velk {

// A failure that is not an answer of the protocol: its message goes to
// standard error and the process exits 1.
struct ProviderFailure {
  std::string message;
};

// An answered request (the result document), a refusal, or a failure.
using ProviderOutcome = std::variant<Json, Error, ProviderFailure>;

ProviderOutcome run_provider_request(const ProviderRequest& request);

// The document that answers a refused request:
// {"state":"refused","rejected":true,"reason":code,"detail":detail}.
Json refusal_document(const Error& refusal);

}  // namespace velk
