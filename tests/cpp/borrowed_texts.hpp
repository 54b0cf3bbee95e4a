// Texts for test inputs, viewed as the binding views the caller's strings.
#pragma once

#include <deque>
#include <string>

#include "core/value/value.hpp"

// Texts stay where they are for the test's life, as the caller's do for a call.
struct Texts {
  std::deque<std::string> store;
  bv::Value text(std::string s) {
    store.push_back(std::move(s));
    return bv::Value::borrowed_str(store.back().data(), store.back().size(), nullptr);
  }
};
