// What every orchestration adapter shares: how a mediator machine is labelled
// and configured, whatever platform runs it.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace quelmar::orchestrate::adapter::base_adapter {

// Metadata keys, also used to find a meter's machine again.
inline constexpr const char* kMeterIdKey = "meter_id";
inline constexpr const char* kIpAddressKey = "ip_address";
// Environment variables the mediator reads at start-up.
inline constexpr const char* kMeterIpAddressEnv = "METER_IP_ADDRESS";
inline constexpr const char* kUseCertAuthEnv = "USE_CERT_AUTH";

class BaseAdapter {
 public:
  BaseAdapter() = default;
  virtual ~BaseAdapter() = default;

  // {"meter_id": meter_id, "ip_address": ip_address}
  nlohmann::json _metadata(const std::string& meter_id, const std::string& ip_address) const;
  // {"METER_IP_ADDRESS": ip_address, "USE_CERT_AUTH": "true" | "false"}
  nlohmann::json _env_vars(const std::string& ip_address, bool use_cert_auth) const;

 protected:
  BaseAdapter(const BaseAdapter&) = default;
  BaseAdapter& operator=(const BaseAdapter&) = default;
  BaseAdapter(BaseAdapter&&) = default;
  BaseAdapter& operator=(BaseAdapter&&) = default;
};

}  // namespace quelmar::orchestrate::adapter::base_adapter
