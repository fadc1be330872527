// Win32: the lock with one condition, from the system's slim locks.
#include <windows.h>

#include <memory>

#include "platform.h"

namespace platform {

struct Monitor::State {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE condition = CONDITION_VARIABLE_INIT;
};

Monitor::Monitor() : state_(std::make_unique<State>()) {}

Monitor::~Monitor() = default;

void Monitor::lock() {
  AcquireSRWLockExclusive(&state_->lock);
}

void Monitor::unlock() {
  ReleaseSRWLockExclusive(&state_->lock);
}

void Monitor::wait() {
  SleepConditionVariableSRW(&state_->condition, &state_->lock, INFINITE, 0);
}

void Monitor::notify_all() {
  WakeAllConditionVariable(&state_->condition);
}

}  // namespace platform
