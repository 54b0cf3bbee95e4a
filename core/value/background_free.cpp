#include "background_free.hpp"

#include <system_error>

namespace bv {

void BackgroundFree::operator()(Value&& v) {
  if (!tried_) {
    tried_ = true;
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
    }
  }
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wake = queue_.empty();
    queue_.push_back(std::move(v));
  }
  if (wake) ready_.notify_one();
}

void BackgroundFree::finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  ready_.notify_one();
  if (thread_.joinable()) thread_.join();
  queue_.clear();
}

void BackgroundFree::run() {
  std::vector<Value> batch;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ready_.wait(lock, [&] { return done_ || !queue_.empty(); });
      if (queue_.empty()) return;
      batch.swap(queue_);
    }
    batch.clear();
  }
}

}  // namespace bv
