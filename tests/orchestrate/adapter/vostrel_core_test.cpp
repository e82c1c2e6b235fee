// The non-interactive core on its own, and the facade's clone that keeps its console.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quelmar/orchestrate/adapter/machines.hpp"
#include "vostrel_fixture.hpp"

namespace quelmar::orchestrate::adapter::vostrel::testing {
namespace {

class CoreTest : public VostrelTest {
 protected:
  MachinesOptions core() { return core_options(options()); }
};

TEST_F(CoreTest, ACoreClonedWithAdjustedSettingsListsAndFailsByThrowingAlone) {
  platform.add_machine(kApp, machine_record("aa01", "mediator-A", "started", "m-1"));
  const Machines original(core());
  int adjusted = 0;
  Machines core = original.clone([&adjusted](ClientOptions& client) {
    ++adjusted;
    EXPECT_EQ(client.max_retries, 0) << "the original's settings";
  });
  EXPECT_EQ(adjusted, 1);
  EXPECT_EQ(core.fly_app(), kApp);

  std::vector<std::string> listed;
  core.each_mediator("", [&listed](Mediator&& m) { listed.push_back(m.id.value_or("")); });
  EXPECT_EQ(listed, std::vector<std::string>{"aa01"});

  // The name server knows no such app: the core throws, and nothing is printed or ended.
  EXPECT_THROW(core.resolve_service_host(), LookupFailed);
  inject_answer("GET", "/machines", 403, R"({"error":"forbidden"})");
  EXPECT_THROW(core.each_mediator("", [](Mediator&&) {}), PlatformError);
  EXPECT_TRUE(out.str().empty());
  EXPECT_TRUE(exits.empty());
}

TEST_F(CoreTest, TheFacadesCloneKeepsItsConsole) {
  const FlyAdapter adapter(options());
  FlyAdapter copy = adapter.clone();
  EXPECT_THROW(copy.get_private_flycast_ip(), ProcessExit) << "the name server knows no such app";
  EXPECT_FALSE(exits.empty()) << "the clone ends the process through the same console";
}

}  // namespace
}  // namespace quelmar::orchestrate::adapter::vostrel::testing
