#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace tidymark {

// Where a writer's bytes go, handed over in large pieces as they are made, so a large file
// never has to be held whole in memory.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Takes the next piece. False when it cannot; the sink then says why, and the writer stops.
  virtual bool write(std::string_view bytes) = 0;
  virtual std::string error() const { return "cannot write"; }
};

// Appends everything to a string.
class StringSink final : public ByteSink {
 public:
  explicit StringSink(std::string& out) : out_(out) {}
  bool write(std::string_view bytes) override {
    out_.append(bytes);
    return true;
  }

 private:
  std::string& out_;
};

// Hands everything to a stdio stream, such as standard output.
class StreamSink final : public ByteSink {
 public:
  explicit StreamSink(std::FILE* stream) : stream_(stream) {}
  bool write(std::string_view bytes) override {
    return std::fwrite(bytes.data(), 1, bytes.size(), stream_) == bytes.size();
  }

 private:
  std::FILE* stream_;
};

}  // namespace tidymark
