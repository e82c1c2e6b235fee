#!/usr/bin/env bash
# The example systemd units pass `systemd-analyze verify`, with the built quelmar in place of the
# installed one, and their ExecStart is a command line that quelmar accepts. Skipped (77) where
# systemd-analyze is not installed.
# usage: units_test.sh UNIT_DIR QUELMAR
set -uo pipefail
. "$(dirname "$0")/check.sh"
units=$1 quelmar=$(realpath "$2")
command -v systemd-analyze >/dev/null || {
  echo "systemd-analyze not found: skipped"
  exit 77
}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for unit in "$units"/*.service "$units"/*.timer; do
  sed "s|/usr/bin/quelmar|$quelmar|g; s|/var/lib/prometheus/node-exporter/|$scratch/|g" "$unit" \
    >"$scratch/$(basename "$unit")"
done
if ! out=$(cd "$scratch" && systemd-analyze verify --man=no -- *.service *.timer 2>&1); then
  fail "systemd-analyze verify: $out"
elif [ -n "$out" ]; then
  fail "systemd-analyze verify warns: $out"
fi

# The command itself: its replicas do not exist here, so it must fail as a scan (exit 2, one
# line naming the first replica), never as a usage error.
for service in "$scratch"/*.service; do
  command=$(sed -n 's/^ExecStart=//p' "$service")
  read -ra words <<<"$command"
  err=$("${words[@]}" 2>&1 >/dev/null)
  [[ $err == "quelmar: cannot scan "* ]] || fail "$(basename "$service"): ExecStart says: $err"
  grep -qsxE 'quelmar_profile_log_scan_success(\{[^}]*\})? 0' "$scratch"/*.prom ||
    fail "$(basename "$service"): no failed scan written to the --prometheus file"
done

# Shipped disabled: nothing pulls the service in but the timer, and the timer only once enabled.
grep -q '^WantedBy=' "$units"/*.service && fail "a service is enabled by more than its timer"
finish
