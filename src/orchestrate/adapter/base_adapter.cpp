#include "quelmar/orchestrate/adapter/base_adapter.hpp"

namespace quelmar::orchestrate::adapter::base_adapter {

nlohmann::json BaseAdapter::_metadata(const std::string& meter_id,
                                      const std::string& ip_address) const {
  return {{kMeterIdKey, meter_id}, {kIpAddressKey, ip_address}};
}

nlohmann::json BaseAdapter::_env_vars(const std::string& ip_address, bool use_cert_auth) const {
  // Environment values are always text on the platform.
  return {{kMeterIpAddressEnv, ip_address}, {kUseCertAuthEnv, use_cert_auth ? "true" : "false"}};
}

}  // namespace quelmar::orchestrate::adapter::base_adapter
