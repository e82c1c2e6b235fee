// The machine listing read as a stream: each record is handed over as soon as it is parsed,
// keeping only the fields callers read, so that a large fleet never exists as a whole.
#pragma once

#include <functional>

#include <nlohmann/json.hpp>

#include "corvane/api.hpp"
#include "transport.hpp"

namespace corvane::api::listing {

// The answer to a listing whose 2xx body was kept in pieces (each piece is freed once parsed).
// Each element of the top-level array goes to `take`, keeping id, name, state, region,
// instance_id, private_ip and the whole config. Done with an empty array as value; otherwise
// the records handed over so far are no listing.
Answer read(transport::Response& response, const std::function<void(nlohmann::json&&)>& take);

}  // namespace corvane::api::listing
