#include "live_mediators.hpp"

namespace quelmar::orchestrate::fleet::detail {

using adapter::container::ContainerState;
using adapter::vostrel::KeyError;

LiveMediator live_mediator(const adapter::vostrel::Mediator& m) {
  if (!m.id) throw KeyError("id", "mediator " + m.name + " has no 'id'");
  if (!m.platform_state) throw KeyError("state", "mediator " + *m.id + " has no 'state'");
  LiveMediator live;
  live.machine = {.id = *m.id,
                  .name = m.name,
                  .region = m.region.value_or(""),
                  .state = *m.platform_state,
                  .instance_id = m.instance_id.value_or("")};
  live.meter_id = m.meter_id;
  live.service_port = m.service_port;
  live.started = m.state == ContainerState::STARTED;
  return live;
}

}  // namespace quelmar::orchestrate::fleet::detail
