// quelmar fly plan|apply|addresses: the whole fleet of mediators at once.
#pragma once

#include <functional>

#include <CLI/CLI.hpp>

#include "cli.hpp"
#include "quelmar/orchestrate/adapter/vostrel.hpp"

namespace quelmar::cli {

// Builds the adapter's options from the parsed `fly` flags (token resolved, console wired).
using AdapterOptionsFn = std::function<orchestrate::adapter::vostrel::FlyAdapterOptions()>;

void add_fleet_commands(CLI::App& fly, AdapterOptionsFn adapter_options, const Io& io, int& status);

}  // namespace quelmar::cli
