// How library code ends a run on a fault.
#pragma once

#include <exception>
#include <memory>
#include <string>

namespace spansift {

// A fault that ends the run. Library code throws it and never ends the process
// itself; `main` alone catches it, prints message() on standard error followed
// by a line feed, and exits with status 101. Destructors run on the way out, so
// temporary files and descriptors are cleaned up by their owners.
class Stop : public std::exception {
 public:
  explicit Stop(std::string message) : message_(std::make_shared<const std::string>(std::move(message))) {}

  // The whole message, NUL bytes included (what() ends at the first one).
  const std::string& message() const noexcept { return *message_; }
  const char* what() const noexcept override { return message_->c_str(); }

 private:
  // Shared, so that copying the exception never throws.
  std::shared_ptr<const std::string> message_;
};

}  // namespace spansift
