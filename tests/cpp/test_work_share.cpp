// Shared work runs every task once, whoever takes it, and fails as one thread would.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "analysis/plotspec/work_share.hpp"

using bv::plotspec::WorkShare;

TEST(WorkShare, EveryTaskOfEveryRoundRunsOnceWithOrWithoutHelper) {
  for (bool helped : {false, true}) {
    WorkShare share;
    std::thread helper;
    if (helped) helper = std::thread([&] { share.help(); });
    for (size_t n : {0u, 1u, 3u, 5000u}) {
      std::vector<std::atomic<int>> runs(n);
      share.run(n, [&](size_t i) { runs[i].fetch_add(1); });
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(runs[i].load(), 1) << "task " << i << " of " << n;
    }
    share.close();
    if (helper.joinable()) helper.join();
  }
}

TEST(WorkShare, TheFirstFailureInTaskOrderIsRethrownAfterAllTasksRan) {
  WorkShare share;
  std::thread helper([&] { share.help(); });
  std::atomic<int> ran{0};
  try {
    share.run(2000, [&](size_t i) {
      ran.fetch_add(1);
      if (i == 1500) throw std::runtime_error("late");
      if (i == 700) throw std::runtime_error("early");
    });
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "early");
  }
  EXPECT_EQ(ran.load(), 2000);
  share.close();
  helper.join();
}

TEST(WorkShare, AHelperArrivingAfterTheOwnerClosedReturns) {
  WorkShare share;
  share.run(10, [](size_t) {});
  share.close();
  std::thread helper([&] { share.help(); });
  helper.join();
}
