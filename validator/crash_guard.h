// A crash inside the module ends the run with a line saying which check it
// was in, rather than a bare signal. Sanitizer builds keep their own reports.
#pragma once

namespace velmora::validate {

void installCrashGuard();
// The check running now; `name` must outlive it.
void setRunningCheck(const char* name);

}  // namespace velmora::validate
