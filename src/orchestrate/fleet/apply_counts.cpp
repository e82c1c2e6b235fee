#include "quelmar/orchestrate/fleet/apply.hpp"

namespace quelmar::orchestrate::fleet {

ResultClass class_of(const Result& result) {
  switch (result.outcome) {
    case Outcome::kOk:
      return result.action == ActionKind::kOk ? ResultClass::kInStep : ResultClass::kChanged;
    case Outcome::kFailed:
      return ResultClass::kFailed;
    case Outcome::kSkipped:
      return ResultClass::kSkipped;
    case Outcome::kKept:
      return ResultClass::kKept;
  }
  return ResultClass::kFailed;
}

std::string to_string(ResultClass result_class) {
  switch (result_class) {
    case ResultClass::kChanged:
      return "changed";
    case ResultClass::kInStep:
      return "in_step";
    case ResultClass::kFailed:
      return "failed";
    case ResultClass::kSkipped:
      return "skipped";
    case ResultClass::kKept:
      return "kept";
  }
  return "?";
}

ApplyCounts Report::counts() const {
  ApplyCounts counts;
  for (const Result& result : results) {
    switch (class_of(result)) {
      case ResultClass::kChanged:
        ++counts.changed;
        break;
      case ResultClass::kInStep:
        ++counts.in_step;
        break;
      case ResultClass::kFailed:
        ++counts.failed;
        break;
      case ResultClass::kSkipped:
        ++counts.skipped;
        break;
      case ResultClass::kKept:
        ++counts.kept;
        break;
    }
  }
  return counts;
}

}  // namespace quelmar::orchestrate::fleet
