#include "quelmar/orchestrate/fleet.hpp"

namespace quelmar::orchestrate::fleet {

ApplyCounts Report::counts() const {
  ApplyCounts counts;
  for (const Result& result : results) {
    switch (result.outcome) {
      case Outcome::kOk:
        ++(result.action == ActionKind::kOk ? counts.in_step : counts.changed);
        break;
      case Outcome::kFailed:
        ++counts.failed;
        break;
      case Outcome::kSkipped:
        ++counts.skipped;
        break;
      case Outcome::kKept:
        ++counts.kept;
        break;
    }
  }
  return counts;
}

}  // namespace quelmar::orchestrate::fleet
