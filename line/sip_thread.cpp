#include "line/sip_thread.h"

#include <re.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>

namespace tv {

namespace {

// Made once and never destroyed: as the program ends, Stop ends libre's loop
// and waits for the thread, before libre's own clean-up (OpenSSL's, which
// libre_init registered first) has run; work posted after that is dropped.
struct SipThread {
  mqueue* queue = nullptr;
  std::thread thread;
  std::atomic<bool> stopped = false;

  SipThread() {
    std::promise<void> ready;
    thread = std::thread([this, &ready] {
      libre_init();
      mqueue_alloc(&queue, &Run, nullptr);
      ready.set_value();
      re_main(nullptr);
    });
    ready.get_future().wait();
    std::atexit(&Stop);
  }

  static void Run(int, void* data, void*) {
    std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(data));
    (*work)();
  }

  static void Stop();
};

SipThread& Thread() {
  static SipThread* const thread = new SipThread;
  return *thread;
}

void SipThread::Stop() {
  SipThread& self = Thread();
  PostToSipThread([] { re_cancel(); });
  self.thread.join();
  self.stopped = true;
}

}  // namespace

void PostToSipThread(std::function<void()> work) {
  SipThread& thread = Thread();
  if (thread.stopped) return;
  auto* data = new std::function<void()>(std::move(work));
  if (mqueue_push(thread.queue, 0, data) != 0) delete data;
}

void RunOnSipThread(const std::function<void()>& work) {
  if (Thread().stopped) return;
  std::promise<void> done;
  PostToSipThread([&] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

}  // namespace tv
