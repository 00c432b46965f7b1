#include "common/bounded_call.h"

#include "common/unique_resource.h"

namespace {

// The one call watched, and the thread that watches it.
class Watchdog {
 public:
  static Watchdog& Instance() {
    // Never destroyed: its thread may still run while the process ends.
    static Watchdog* watchdog = new Watchdog;
    return *watchdog;
  }

  bool Arm() {
    if (!Start()) return false;
    // The thread's own handle, kept for the next call of the same thread.
    const DWORD id = ::GetCurrentThreadId();
    UniqueHandle target;
    if (id != target_id_ &&
        !::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(),
                           target.put(), THREAD_TERMINATE, FALSE, 0))
      return false;
    ::EnterCriticalSection(&lock_);
    if (id != target_id_) {
      target_ = std::move(target);
      target_id_ = id;
    }
    armed_at_ = ::GetTickCount64();
    armed_ = true;
    given_up_ = false;
    ::LeaveCriticalSection(&lock_);
    return true;
  }

  bool Disarm() {
    ::EnterCriticalSection(&lock_);
    armed_ = false;
    const bool given_up = given_up_;
    ::LeaveCriticalSection(&lock_);
    return given_up;
  }

  bool given_up() {
    ::EnterCriticalSection(&lock_);
    const bool given_up = given_up_;
    ::LeaveCriticalSection(&lock_);
    return given_up;
  }

 private:
  Watchdog() { ::InitializeCriticalSection(&lock_); }

  bool Start() {
    if (!thread_) thread_.reset(::CreateThread(nullptr, 0, Watch, this, 0, nullptr));
    return thread_.valid();
  }

  // Looks four times a second. Under the lock, so that the call cancelled
  // is the one armed: once the call has returned, its thread cannot arm the
  // next before the look is done, and cancelling while nothing is pending
  // does nothing.
  static DWORD WINAPI Watch(void* context) {
    Watchdog& self = *static_cast<Watchdog*>(context);
    for (;;) {
      ::Sleep(250);
      ::EnterCriticalSection(&self.lock_);
      if (self.armed_ && !self.given_up_ && ::GetTickCount64() - self.armed_at_ >= kCallBoundMs) {
        self.given_up_ = true;
        (void)::CancelSynchronousIo(self.target_.get());
      }
      ::LeaveCriticalSection(&self.lock_);
    }
  }

  CRITICAL_SECTION lock_;
  UniqueHandle thread_;
  UniqueHandle target_;  // written under the lock
  DWORD target_id_ = 0;
  ULONGLONG armed_at_ = 0;
  bool armed_ = false, given_up_ = false;
};

}  // namespace

BoundedCall::BoundedCall() : watched_(Watchdog::Instance().Arm()) {}

BoundedCall::~BoundedCall() {
  if (watched_) (void)Watchdog::Instance().Disarm();
}

bool BoundedCall::given_up() const { return watched_ && Watchdog::Instance().given_up(); }
