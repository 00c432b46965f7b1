#pragma once
// A bound on the calls another program can make wait. Marking a file for
// deletion breaks another program's handle-caching oplock on it and waits
// for that program to acknowledge the break, which it may never do; the
// system offers no way to ask it not to wait. So such a call runs under a
// watch: when it has not returned after kCallBoundMs, a watchdog thread
// cancels this thread's synchronous I/O and the call returns, failed, as for
// an entry in use.

#include <windows.h>

// How long a call another program can make wait may take: far above what a
// deletion takes when nobody stands in its way, and seconds, not minutes.
constexpr DWORD kCallBoundMs = 5000;

// While it lives, the synchronous I/O of the thread that made it is
// cancelled once kCallBoundMs have passed. One at a time in a process.
class BoundedCall {
 public:
  BoundedCall();
  ~BoundedCall();
  BoundedCall(const BoundedCall&) = delete;
  BoundedCall& operator=(const BoundedCall&) = delete;

  // Whether the call was given up at the bound.
  bool given_up() const;

 private:
  bool watched_ = false;
};
