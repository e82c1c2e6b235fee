// Fleet operations: keeping an application's mediators in step with the meter inventory.
//
// inventory (a CSV file of meters) -> plan (one listing compared with it) -> apply (the plan's
// actions, several at a time), and every meter's address from one listing and one look-up.
// Each job has a header of its own under fleet/ (its reports too); this one includes them all,
// and the adapter whose core they take.
#pragma once

#include "quelmar/orchestrate/adapter/vostrel.hpp"
#include "quelmar/orchestrate/fleet/address_report.hpp"
#include "quelmar/orchestrate/fleet/addresses.hpp"
#include "quelmar/orchestrate/fleet/apply.hpp"
#include "quelmar/orchestrate/fleet/apply_report.hpp"
#include "quelmar/orchestrate/fleet/apply_signals.hpp"
#include "quelmar/orchestrate/fleet/create_check.hpp"
#include "quelmar/orchestrate/fleet/inventory.hpp"
#include "quelmar/orchestrate/fleet/inventory_report.hpp"
#include "quelmar/orchestrate/fleet/listing.hpp"
#include "quelmar/orchestrate/fleet/machine.hpp"
#include "quelmar/orchestrate/fleet/machine_list_report.hpp"
#include "quelmar/orchestrate/fleet/meter.hpp"
#include "quelmar/orchestrate/fleet/metrics.hpp"
#include "quelmar/orchestrate/fleet/metrics_file.hpp"
#include "quelmar/orchestrate/fleet/plan.hpp"
#include "quelmar/orchestrate/fleet/plan_file.hpp"
#include "quelmar/orchestrate/fleet/plan_report.hpp"
#include "quelmar/orchestrate/fleet/report_format.hpp"
#include "quelmar/orchestrate/fleet/stale_report.hpp"
