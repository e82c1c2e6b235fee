#include "quelmar/orchestrate/adapter/base_adapter.hpp"

namespace quelmar::orchestrate::adapter::base_adapter {

nlohmann::json BaseAdapter::_metadata(const std::string& meter_id,
                                      const std::string& ip_address) const {
  return {{METER_ID_KEY, meter_id}, {IP_ADDRESS_KEY, ip_address}};
}

nlohmann::json BaseAdapter::_env_vars(const std::string& ip_address, bool use_cert_auth) const {
  // Environment values are always text on the platform.
  return {{METER_IP_ADDRESS_ENV, ip_address},
          {USE_CERT_AUTH_ENV, use_cert_auth ? "true" : "false"}};
}

}  // namespace quelmar::orchestrate::adapter::base_adapter
