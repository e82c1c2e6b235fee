// Reads a plan file once through the library, or only runs the JSON parser over its bytes with
// nothing kept, so that the benchmark can set the reader beside the floor of parsing the text.
// usage: bench_plan_file FILE read|lex
//        bench_plan_file N full|empty   (a plan of N ok actions on stdout, with configs or {})
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "quelmar/orchestrate/fleet/plan_file.hpp"

namespace {

using nlohmann::json;

// Every event accepted, nothing built.
class Nothing final : public nlohmann::json_sax<json> {
 public:
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_object() override { return true; }
  bool end_array() override { return true; }
  bool key(string_t&) override { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }
};

}  // namespace

// A plan of `n` ok actions as plan --out writes it, compact.
void make(unsigned long n, bool full) {
  std::printf(
      "{\"format\":2,\"app\":\"bench\",\"region\":\"iad\",\"inventory_sha256\":\"\","
      "\"prune\":false,\"actions\":[");
  for (unsigned long i = 0; i < n; ++i) {
    std::printf(
        "%s{\"action\":\"ok\",\"meter_id\":\"m-%lu\",\"machine\":{\"id\":\"%014lx\","
        "\"name\":\"mediator-S%lu\",\"region\":\"iad\",\"state\":\"started\","
        "\"instance_id\":\"01HEPA330HZ37A78TK080NAK\",\"config\":",
        i == 0 ? "" : ",", i, i, i);
    if (full) {
      std::printf(
          "{\"env\":{\"METER_IP_ADDRESS\":\"10.0.0.1\",\"USE_CERT_AUTH\":\"false\"},"
          "\"guest\":{\"cpus\":1,\"memory_mb\":256},\"image\":\"registry.example/mediator:1\","
          "\"init\":{\"cmd\":[\"/m\"]},\"metadata\":{\"ip_address\":\"10.0.0.1\","
          "\"meter_id\":\"m-%lu\"},\"services\":[{\"internal_port\":50051,\"ports\":"
          "[{\"port\":50051}],\"protocol\":\"tcp\"}]}}}",
          i);
    } else {
      std::printf("{}}}");
    }
  }
  std::printf("]}\n");
}

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[2] : "";
  if (mode == "full" || mode == "empty") {
    make(std::stoul(argv[1]), mode == "full");
    return 0;
  }
  if (mode != "read" && mode != "lex") {
    std::fprintf(stderr, "usage: bench_plan_file FILE read|lex, or N full|empty\n");
    return 2;
  }
  if (mode == "lex") {
    std::stringstream text;
    text << std::ifstream(argv[1], std::ios::binary).rdbuf();
    const std::string bytes = text.str();
    Nothing nothing;
    return json::sax_parse(bytes.data(), bytes.data() + bytes.size(), &nothing) ? 0 : 1;
  }
  const auto plan = quelmar::orchestrate::fleet::read_plan_file(argv[1], std::nullopt);
  std::printf("%zu actions\n", plan.actions.size());
  return 0;
}
