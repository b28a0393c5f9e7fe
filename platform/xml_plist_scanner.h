#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tidymark {

// What the property-list reader asks of the tokenizer feeding it, about the event at hand.
class XmlTokenizer {
 public:
  // Where the event's bytes begin in the input, and how many there are: for a start or an end
  // tag, the tag (the end of an empty-element tag is the empty stretch after its '>').
  virtual std::uint64_t byteIndex() const = 0;
  virtual std::uint64_t byteCount() const = 0;
  virtual std::uint64_t line() = 0;
  // No more events after this one.
  virtual void stop() = 0;

 protected:
  ~XmlTokenizer() = default;
};

// What a tokenizer tells the reader: an element's start, some of its text (entities and
// character references replaced; text may come in pieces), its end.
class XmlHandler {
 public:
  virtual void start(std::string_view name) = 0;
  virtual void text(std::string_view text) = 0;
  virtual void end() = 0;

 protected:
  ~XmlHandler() = default;
};

// A tokenizer for the plain XML that property lists are written in: UTF-8, the usual XML
// declaration and document type, tags without attributes (but <plist>'s version), text with the
// predefined entities and character references. It gives the same events, at the same bytes, as
// expat would; it gives up on anything else (a comment, CDATA, a carriage return, an unknown
// entity, a malformed character...), and whenever the handler stops it, so that the file can be
// read again with expat.
class PlainXmlScanner final : public XmlTokenizer {
 public:
  explicit PlainXmlScanner(std::string_view bytes) : bytes_(bytes) {}

  // Whether the whole input was read, without a stop. What the handler was told is of no use
  // when not.
  bool run(XmlHandler& handler);

  std::uint64_t byteIndex() const override { return index_; }
  std::uint64_t byteCount() const override { return count_; }
  std::uint64_t line() override;
  void stop() override { stopped_ = true; }

 private:
  bool prolog();
  bool element(XmlHandler& handler);
  bool content(XmlHandler& handler);
  bool reference(XmlHandler& handler);
  bool lookingAt(std::string_view text) const { return bytes_.substr(pos_).starts_with(text); }
  void skipSpace();
  void event(std::size_t index, std::size_t count) {
    index_ = index;
    count_ = count;
  }

  std::string_view bytes_;
  std::size_t pos_ = 0;
  std::size_t index_ = 0, count_ = 0;
  std::size_t linesTo_ = 0;  // line() has counted the line feeds up to here
  std::uint64_t lines_ = 1;
  bool stopped_ = false;
  std::vector<std::string_view> open_;  // names of the open elements
  char utf8_[4] = {};                   // a character reference's character
};

}  // namespace tidymark
