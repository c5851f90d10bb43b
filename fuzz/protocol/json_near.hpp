#pragma once

// JSON equality that lets numbers differ in their last places. Boost.JSON
// 1.81 parses numbers fast but not correctly rounded (1.83 adds a precise
// mode), so a double can move by an ulp on a trip through text; anything
// else that changes is a defect.

#include <boost/json.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

namespace parley::fuzz {

inline bool nearlyEqual(const boost::json::value& a, const boost::json::value& b) {
  if (a.is_number() && b.is_number()) {
    const double x = a.to_number<double>();
    const double y = b.to_number<double>();
    return x == y || std::fabs(x - y) <= 4 * std::numeric_limits<double>::epsilon() *
                                             std::max(std::fabs(x), std::fabs(y));
  }
  if (a.kind() != b.kind())
    return false;
  if (a.is_array()) {
    const auto& p = a.get_array();
    const auto& q = b.get_array();
    return p.size() == q.size() && std::equal(p.begin(), p.end(), q.begin(), nearlyEqual);
  }
  if (a.is_object()) {
    const auto& p = a.get_object();
    const auto& q = b.get_object();
    if (p.size() != q.size())
      return false;
    for (const auto& entry : p) {
      const boost::json::value* other = q.if_contains(entry.key());
      if (other == nullptr || !nearlyEqual(entry.value(), *other))
        return false;
    }
    return true;
  }
  return a == b;
}

}  // namespace parley::fuzz
