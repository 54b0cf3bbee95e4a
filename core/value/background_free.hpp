// Freeing large trees of values off the thread that waits for a result.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "value.hpp"

namespace bv {

// Frees the values it is handed on a thread of its own, in the order given. The
// thread starts with the first value; with no thread to be had, the values are
// freed by finish().
class BackgroundFree {
 public:
  BackgroundFree() = default;
  ~BackgroundFree() { finish(); }
  BackgroundFree(const BackgroundFree&) = delete;
  BackgroundFree& operator=(const BackgroundFree&) = delete;
  void operator()(Value&& v);
  // Every value handed over is freed when this returns.
  void finish();

 private:
  void run();
  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<Value> queue_;
  bool done_ = false;
  bool tried_ = false;
  std::thread thread_;
};

}  // namespace bv
