// POSIX: the lock with one condition, from the C++ library.
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform.h"

namespace platform {

struct Monitor::State {
  std::mutex mutex;
  std::condition_variable condition;
};

Monitor::Monitor() : state_(std::make_unique<State>()) {}

Monitor::~Monitor() = default;

void Monitor::lock() {
  state_->mutex.lock();
}

void Monitor::unlock() {
  state_->mutex.unlock();
}

void Monitor::wait() {
  std::unique_lock<std::mutex> held(state_->mutex, std::adopt_lock);
  state_->condition.wait(held);
  held.release();
}

void Monitor::notify_all() {
  state_->condition.notify_all();
}

}  // namespace platform
