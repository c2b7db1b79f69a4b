// GoogleTest's hook for platform adjustments, used by the Windows build of the
// Win32 behaviour tables. MinGW-w64 with win32 threads (GCC 12) has no std::mutex or
// std::condition_variable, which GoogleTest's Notification is built on; it is given
// one here built on an atomic flag. GoogleTest itself only uses Notification to
// start threads in its own tests; the tables run on one thread.
#ifndef FINISH_UPDATE_GTEST_CUSTOM_PORT_H
#define FINISH_UPDATE_GTEST_CUSTOM_PORT_H

#include <atomic>

#if defined(__MINGW32__) && !defined(_GLIBCXX_HAS_GTHREADS)
#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() : notified_(false) {}
  Notification(const Notification &) = delete;
  Notification &operator=(const Notification &) = delete;

  // Lets every waiter go on.
  void Notify() { notified_.store(true); }

  // Returns once Notify has been called; waits by spinning.
  void WaitForNotification() {
    while (!notified_.load()) {
    }
  }

 private:
  std::atomic<bool> notified_;
};

}  // namespace internal
}  // namespace testing

#endif
#endif
