#pragma once

// The text a failure carried across threads as an exception_ptr is shown
// with: its what(), or "unknown error" for anything not derived from
// std::exception.

#include <exception>
#include <string>

namespace parley::base {

inline std::string exceptionText(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace parley::base
