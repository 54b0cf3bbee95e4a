// Work one thread hands out and a second thread, when it has nothing left of its own,
// helps with. The owner publishes a round of independent tasks and takes them one by
// one; the helper, once it arrives, takes them too. The owner never waits for the
// helper to come, only for the tasks the helper has taken: a build whose other thread
// is still busy runs every task itself, in the same time it would alone.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <type_traits>
#include <vector>

namespace bv::plotspec {

class WorkShare {
 public:
  // Runs task(i) for every i in [0, n) on this thread and the helper's, and returns
  // when all have run. Tasks must not depend on one another. A task that throws does
  // not stop the others; the first failure in task order is rethrown, as one thread
  // running them in order would have stopped at it.
  template <class F>
  void run(size_t n, F&& task) {
    if (n == 0) return;
    std::vector<std::exception_ptr> errors(n);
    Round round{n, [](void* f, size_t i) { (*static_cast<std::remove_reference_t<F>*>(f))(i); }, &task, &errors};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      round_ = &round;
      ++rounds_;
    }
    changed_.notify_all();
    const size_t mine = work(round);
    {
      std::unique_lock<std::mutex> lock(mutex_);
      round.done += mine;
      changed_.wait(lock, [&] { return round.done == round.n; });
      round_ = nullptr;
    }
    for (const std::exception_ptr& e : errors)
      if (e) std::rethrow_exception(e);
  }

  // The owner publishes no more rounds (call it whatever happened to its work).
  void close() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
    }
    changed_.notify_all();
  }

  // The helper's side: takes tasks of every round published from now on, until the
  // owner closes.
  void help() {
    uint64_t seen = 0;
    for (;;) {
      Round* round;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return closed_ || (round_ && rounds_ != seen); });
        if (!round_ || rounds_ == seen) return;  // closed
        seen = rounds_;
        round = round_;
      }
      const size_t mine = work(*round);
      bool finished;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        round->done += mine;
        finished = round->done == round->n;
      }
      if (finished) changed_.notify_all();
    }
  }

 private:
  struct Round {
    size_t n;
    void (*call)(void*, size_t);
    void* task;
    std::vector<std::exception_ptr>* errors;
    std::atomic<size_t> next{0};
    size_t done = 0;  // tasks run, guarded by the mutex
  };
  // Takes tasks until none is left; returns how many this thread ran.
  static size_t work(Round& round) {
    size_t ran = 0;
    for (;;) {
      const size_t i = round.next.fetch_add(1, std::memory_order_relaxed);
      if (i >= round.n) return ran;
      try {
        round.call(round.task, i);
      } catch (...) {
        (*round.errors)[i] = std::current_exception();
      }
      ++ran;
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  Round* round_ = nullptr;  // the round being run, if any
  uint64_t rounds_ = 0;     // rounds published so far
  bool closed_ = false;
};

}  // namespace bv::plotspec
