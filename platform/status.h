#pragma once

#include <string>
#include <utility>

namespace tidymark {

// The outcome of an operation that can fail: success, or a failure with a message a person
// can act on. Operations return it and print nothing; the program prints it once, at the top.
class [[nodiscard]] Status {
 public:
  static Status success() { return Status(); }
  static Status failure(std::string message) {
    Status status;
    status.message_ = message.empty() ? "unknown error" : std::move(message);
    return status;
  }

  bool ok() const { return message_.empty(); }
  const std::string& message() const { return message_; }

 private:
  Status() = default;
  std::string message_;
};

}  // namespace tidymark
