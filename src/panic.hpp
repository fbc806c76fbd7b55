// Internal faults: broken invariants inside the native code.
//
// A fault is thrown as Panic and caught by the fault guard at the function boundary, which writes
// a report naming the text and the source location to standard error and raises PanicException.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <utility>

namespace tessel {

class Panic : public std::exception {
 public:
  explicit Panic(std::string message, std::source_location where = std::source_location::current())
      : message_(std::move(message)), where_(where) {}
  [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }
  [[nodiscard]] const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

}  // namespace tessel
