// A logout, a closed terminal or a kill ends the program as Exit does:
// SIGTERM, SIGHUP and SIGINT are turned into a call on the UI thread.
#pragma once

#include <functional>

namespace tv {

// From now on each of those signals runs `end` on the UI thread (once per
// signal; the handler itself only writes a byte to a pipe).
void EndOnTerminationSignals(std::function<void()> end);

}  // namespace tv
