// The order in which a person numbers frames: "frame2.png" before "frame10.png".
//
// Names are compared character by character with ASCII letters folded to lower case; a run
// of digits in both names is compared as a number (leading zeros do not count, any length);
// every other byte by its value. Names that come out equal ("img02.png" and "img2.png",
// "A.png" and "a.png") are ordered by plain bytewise comparison, so the order is total and
// never depends on a locale.
//
// Pure functions: safe from any thread.
#pragma once

#include <string_view>

namespace fw {

// Negative, zero or positive as `a` comes before, with or after `b` by the rules above,
// before the bytewise tie-break.
int compareNaturally(std::string_view a, std::string_view b);

// True when `a` comes strictly before `b`: the natural order, then bytewise. A strict weak
// order, fit for std::stable_sort.
bool areInSequenceOrder(std::string_view a, std::string_view b);

}  // namespace fw
