#include "line/sip_thread.h"

#include <re.h>

#include <future>
#include <memory>
#include <mutex>
#include <thread>

namespace tv {

namespace {

struct SipThread {
  mqueue* queue = nullptr;

  SipThread() {
    std::promise<void> ready;
    std::thread([this, &ready] {
      libre_init();
      mqueue_alloc(&queue, &Run, nullptr);
      ready.set_value();
      re_main(nullptr);
    }).detach();
    ready.get_future().wait();
  }

  static void Run(int, void* data, void*) {
    std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(data));
    (*work)();
  }
};

SipThread& Thread() {
  static SipThread thread;
  return thread;
}

}  // namespace

void PostToSipThread(std::function<void()> work) {
  auto* data = new std::function<void()>(std::move(work));
  if (mqueue_push(Thread().queue, 0, data) != 0) delete data;
}

void RunOnSipThread(const std::function<void()>& work) {
  std::promise<void> done;
  PostToSipThread([&] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

}  // namespace tv
