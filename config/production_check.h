// The production check: what in a configuration that the filter accepts is
// still risky on a public server, each with the registry line that mends it.
//
// turnpike-try --check prints the findings, and Apache writes them to its
// error log as warnings when it starts serving. They never refuse a start:
// a test server may want every one of them.
//
// Pure: reads a loaded settings record and nothing else; safe on any thread.
#pragma once

#include <string>
#include <vector>

#include "config/filter_settings.h"

namespace turnpike {

struct ProductionFinding {
  std::string risk;  // what is risky and why, one sentence or two
  std::string line;  // the .reg line to add, or what to change in it
};

// Longest SessionTimeout (minutes) that passes without a finding: a day.
inline constexpr std::uint32_t kLongestQuietSessionTimeout = 24 * 60;

// The findings for `settings` after a successful load, in a fixed order;
// empty when there is nothing to say.
std::vector<ProductionFinding> CheckForProduction(const FilterSettings& settings);

}  // namespace turnpike
