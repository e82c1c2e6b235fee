// The one rule for which mediator serves a meter, fed the listing as it arrives: among the live
// records of every region, a meter's first "started" one in listing order, else its first
// listed. Dead records ("destroying", "destroyed") and records without a meter serve nobody.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>

#include "quelmar/orchestrate/adapter/mediator.hpp"

namespace quelmar::orchestrate::adapter::mediator {

class ServingMediators {
 public:
  // The next record in listing order, known to the caller by `index` (any numbering the caller
  // keeps, rising with the listing).
  void offer(const Mediator& mediator, std::size_t index);
  // The index of the mediator serving `meter_id`; absent when none does.
  std::optional<std::size_t> of(const std::string& meter_id) const;
  // Every served meter's mediator index, by meter id.
  std::map<std::string, std::size_t> all() const;

 private:
  struct Choice {
    std::size_t index;
    bool started;
  };
  std::map<std::string, Choice> chosen_;
};

}  // namespace quelmar::orchestrate::adapter::mediator
