// The app's mediators as listed, filtered by region, meter and state.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "quelmar/orchestrate/adapter/container.hpp"
#include "quelmar/orchestrate/adapter/machines.hpp"

namespace quelmar::orchestrate::fleet {

// A listed mediator and the region it runs in.
struct ListedMachine {
  adapter::container::Container machine{};
  std::string region{};
};

struct ListFilter {
  std::string region{};  // empty: every region
  std::optional<std::string> meter_id{};
  std::optional<adapter::container::ContainerState> state{};
};

// The app's mediators that pass `filter`, in listing order, dead records included as the
// platform lists them. Throws PlatformError when the listing fails, KeyError for a mediator
// record without a field a Container needs.
std::vector<ListedMachine> list_machines(adapter::vostrel::Machines& adapter,
                                         const ListFilter& filter);

}  // namespace quelmar::orchestrate::fleet
