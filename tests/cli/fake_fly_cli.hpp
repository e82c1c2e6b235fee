// `quelmar fly` in-process against a fake platform and a DNS responder that knows its apps.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/cli_runner.hpp"
#include "fake_dns.hpp"
#include "fake_platform.hpp"

namespace quelmar::cli::testing {

class FakeFlyCli : public ::testing::Test {
 protected:
  explicit FakeFlyCli(std::string token)
      : token_(std::move(token)), platform_({.token = token_, .apps = {"meters"}}) {
    dns_.set_record_source(fake_fly::fly_app_records([this] {
      const auto names = platform_.app_names();
      return std::vector<std::string>(names.begin(), names.end());
    }));
  }

  // Runs `quelmar fly ARGS` for the app "meters" with both fakes as its endpoints and `token`
  // (absent: the fixture's) in the environment; checks that the fixture's token shows in no
  // output.
  CliResult fly(const std::vector<std::string>& args, const std::string& input = "",
                const std::optional<std::string>& token = std::nullopt) {
    auto result = run_cli(fly_args(args), input, {{"FLY_API_TOKEN", token.value_or(token_)}});
    EXPECT_THAT(result.out + result.err, ::testing::Not(::testing::HasSubstr(token_)));
    return result;
  }

  // As fly(), with stdout going to `out` (result.out stays empty).
  CliResult fly_into(std::ostream& out, const std::vector<std::string>& args) {
    auto result = run_cli_into(out, fly_args(args), "", {{"FLY_API_TOKEN", token_}});
    EXPECT_THAT(result.err, ::testing::Not(::testing::HasSubstr(token_)));
    return result;
  }

  std::vector<std::string> fly_args(const std::vector<std::string>& args) const {
    std::vector<std::string> all{"fly",
                                 "--app",
                                 "meters",
                                 "--api-url",
                                 platform_.base_url(),
                                 "--dns-server",
                                 dns_.name_server(),
                                 "--public-resolver",
                                 dns_.name_server()};
    // A saved plan decides the image.
    const bool saved = std::find(args.begin(), args.end(), "--plan") != args.end() ||
                       (!args.empty() && args.front() == "show-plan");
    if (!saved) all.insert(all.end(), {"--image", "registry.example/mediator:1"});
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }

  std::string token_;
  fake_fly::FakePlatform platform_;
  fake_fly::FakeDns dns_;
};

}  // namespace quelmar::cli::testing
