// libre, the SIP stack, keeps its state per thread and is not thread-safe:
// every libre object of the program is made, used and freed on one thread,
// the SIP thread, which runs libre's event loop for the program's life.
// Other threads hand it work with PostToSipThread. As the program ends
// (at exit) the loop stops: work handed to it after that is not run.
#pragma once

#include <functional>

namespace tv {

// Runs `work` on the SIP thread (started on first use), after what was
// posted before it.
void PostToSipThread(std::function<void()> work);

// Runs `work` on the SIP thread and waits for it to finish.
void RunOnSipThread(const std::function<void()>& work);

}  // namespace tv
