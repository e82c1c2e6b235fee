#include <utility>

#include "quelmar/orchestrate/fleet/listing.hpp"

namespace quelmar::orchestrate::fleet {

std::vector<ListedMachine> list_machines(adapter::vostrel::Machines& adapter,
                                         const ListFilter& filter) {
  std::vector<ListedMachine> listed;
  adapter.each_mediator(filter.region, [&](adapter::vostrel::Mediator&& m) {
    if (filter.meter_id && m.meter_id != filter.meter_id) return;
    if (filter.state && m.state != *filter.state) return;
    std::string region = m.region.value_or("");
    listed.push_back({adapter::mediator::to_container(std::move(m)), std::move(region)});
  });
  return listed;
}

}  // namespace quelmar::orchestrate::fleet
