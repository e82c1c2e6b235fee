// How a fleet report is printed: lines for people, or one JSON document for scripts.
#pragma once

namespace quelmar::orchestrate::fleet {

// Text escapes every outside text for a terminal; JSON is ASCII-only, so that no control or
// bidirectional character of a platform text reaches the terminal raw either way.
enum class ReportFormat { kText, kJson };

}  // namespace quelmar::orchestrate::fleet
