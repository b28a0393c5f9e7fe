#include "platform/xml_plist.h"

#include <expat.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <iterator>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/plist_edit.h"
#include "platform/xml_plist_scalars.h"

namespace tidymark {

namespace {

using namespace xml_format;

// The text in quotes for an error message, cut short (on a character boundary) when long.
std::string quoted(std::string_view text) {
  constexpr std::size_t kMaximum = 40;
  std::string result = "\"";
  if (text.size() <= kMaximum) {
    result.append(text);
  } else {
    std::size_t cut = kMaximum;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
      --cut;
    result.append(text.substr(0, cut)).append("...");
  }
  result.push_back('"');
  return result;
}

// ----- Reader

enum class Tag : std::uint8_t {
  Plist,
  Dict,
  Array,
  Key,
  String,
  Integer,
  Real,
  True,
  False,
  Date,
  Data,
  Unknown
};

constexpr const char* kTagNames[] = {"plist", "dict", "array", "key",  "string", "integer",
                                     "real",  "true", "false", "date", "data",   "?"};

Tag tagFor(std::string_view name) {
  int tag = 0;
  while (tag < static_cast<int>(Tag::Unknown) && name != kTagNames[tag])
    ++tag;
  return static_cast<Tag>(tag);
}

const char* tagName(Tag tag) {
  return kTagNames[static_cast<int>(tag)];
}

// Builds the tree from expat's events. Open containers live on an explicit stack; the entries
// and elements of every open container share two scratch vectors, so each finished container
// costs one exactly-sized allocation. Where the elements of arrays lie is kept here until the
// whole file has been read.
class XmlReader {
 public:
  XmlReader(XML_Parser parser, bool recordArrays) : parser_(parser), recordArrays_(recordArrays) {}

  // Whether the events so far do not make a property list, and why (empty when memory ran out).
  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }

  // Hands over the tree, and where the elements of its arrays lie to `original` when given.
  Status finish(PlistValue* root, PlistOriginal* original) {
    if (!haveRoot_) return Status::failure("the property list holds no value");
    try {
      for (const RecordedArray& array : arrays_) {
        if (original) original->addElements(array.id, spans_.data() + array.first, array.count);
      }
    } catch (const std::bad_alloc&) {
      return Status::failure("out of memory");
    }
    *root = std::move(root_);
    return Status::success();
  }

  void fail(const std::string& message) { failAt(line(), message); }
  void failOutOfMemory() {
    // Nothing here may allocate; the empty message stands for running out of memory.
    error_.clear();
    failed_ = true;
    stop();
  }

  void start(std::string_view name) {
    const Tag tag = tagFor(name);
    if (tag == Tag::Unknown) return fail("unknown element <" + std::string(name) + ">");
    if (inScalar_) {
      return fail("unexpected element <" + std::string(name) + "> inside <" + tagName(scalar_) +
                  ">");
    }
    if (tag == Tag::Plist) {
      if (!open_.empty()) return fail("<plist> can only be the root element");
      open_.push_back({Tag::Plist});
      return;
    }
    if (tag == Tag::Key) {
      if (open_.empty() || open_.back().tag != Tag::Dict) return fail("<key> outside a dictionary");
      if (open_.back().keyWaiting) return failKeyWithoutValue();
    } else if (!open_.empty()) {
      const Container& parent = open_.back();
      if (parent.tag == Tag::Dict && !parent.keyWaiting) {
        return fail("a value in a dictionary has no key");
      }
      if (parent.tag == Tag::Plist && haveRoot_) {
        return fail("the property list holds more than one value");
      }
    }
    if (recordArrays_ && !open_.empty() && open_.back().tag == Tag::Array) {
      elementStarts_.push_back(byteIndex());
    }
    if (tag == Tag::Dict) {
      open_.push_back({Tag::Dict, false, 0, entries_.size()});
    } else if (tag == Tag::Array) {
      open_.push_back({Tag::Array, false, 0, elements_.size()});
    } else {
      inScalar_ = true;
      scalar_ = tag;
      scalarLine_ = line();
      text_.clear();
    }
  }

  void text(std::string_view text) {
    if (inScalar_ && scalar_ != Tag::True && scalar_ != Tag::False) {
      text_.append(text);
      return;
    }
    for (char c : text) {
      if (!isXmlSpace(c)) {
        const char* where = inScalar_ ? tagName(scalar_) : tagName(open_.back().tag);
        return fail("unexpected text " + quoted(trimmed(text)) + " in <" + where + ">");
      }
    }
  }

  void end() {
    if (inScalar_) {
      inScalar_ = false;
      return endScalar();
    }
    const Container container = open_.back();
    switch (container.tag) {
      case Tag::Plist:
        if (!haveRoot_) return fail("the property list holds no value");
        open_.pop_back();
        return;
      case Tag::Dict: {
        if (container.keyWaiting) return failKeyWithoutValue();
        PlistValue dict = takeDict(container.start);
        open_.pop_back();
        return attach(std::move(dict));
      }
      default: {
        const auto first = elements_.begin() + static_cast<std::ptrdiff_t>(container.start);
        PlistArray array(std::make_move_iterator(first), std::make_move_iterator(elements_.end()));
        elements_.erase(first, elements_.end());
        if (recordArrays_) {
          if (array.size() >= 2 && array.size() <= UINT32_MAX) {
            arrays_.push_back(
                {array.data(), spans_.size(), static_cast<std::uint32_t>(array.size())});
            spans_.insert(spans_.end(),
                          elementSpans_.begin() + static_cast<std::ptrdiff_t>(container.start),
                          elementSpans_.end());
          }
          elementSpans_.resize(container.start);
        }
        open_.pop_back();
        return attach(PlistValue::array(std::move(array)));
      }
    }
  }

 private:
  struct Container {
    Tag tag;
    bool keyWaiting = false;  // a dictionary's last key still lacks its value
    std::uint64_t keyLine = 0;
    std::size_t start = 0;  // where this container's entries or elements begin in the scratch
  };
  struct RecordedArray {
    const void* id;
    std::size_t first;  // its first element's span in spans_
    std::uint32_t count;
  };

  static std::string lineText(std::uint64_t line) { return "line " + std::to_string(line) + ": "; }
  // Where the event at hand begins in the input (for an end tag, the tag; the end of an
  // empty-element tag is the empty stretch after its '>'), and its line.
  std::uint64_t byteIndex() const { return XML_GetCurrentByteIndex(parser_); }
  std::uint64_t line() const { return XML_GetCurrentLineNumber(parser_); }
  void stop() { XML_StopParser(parser_, XML_FALSE); }

  void failAt(std::uint64_t line, const std::string& message) {
    if (failed_) return;
    failed_ = true;
    error_ = lineText(line) + message;
    stop();
  }

  void failKeyWithoutValue() {
    failAt(open_.back().keyLine, "key " + quoted(entries_.back().key) + " has no value");
  }

  // A dictionary of the single key "CF$UID" holding a non-negative integer is how a UID is
  // written in XML.
  PlistValue takeDict(std::size_t start) {
    const auto first = entries_.begin() + static_cast<std::ptrdiff_t>(start);
    if (entries_.size() - start == 1 && first->key == "CF$UID") {
      const PlistInteger* integer = first->value.asInteger();
      if (integer && !integer->isNegative()) {
        const std::uint64_t value = integer->asUnsigned();
        entries_.pop_back();
        return PlistValue::uid(value);
      }
    }
    PlistDict dict(std::make_move_iterator(first), std::make_move_iterator(entries_.end()));
    entries_.erase(first, entries_.end());
    return PlistValue::dict(std::move(dict));
  }

  void endScalar() {
    switch (scalar_) {
      case Tag::Key: {
        entries_.emplace_back();
        entries_.back().key = text_;
        Container& dict = open_.back();
        dict.keyWaiting = true;
        dict.keyLine = scalarLine_;
        return;
      }
      case Tag::String:
        return attach(PlistValue::string(text_));
      case Tag::True:
      case Tag::False:
        return attach(PlistValue::boolean(scalar_ == Tag::True));
      case Tag::Integer: {
        PlistInteger value;
        switch (parseInteger(text_, &value)) {
          case NumberResult::Ok:
            return attach(PlistValue::integer(value));
          case NumberResult::OutOfRange:
            return failAt(scalarLine_, "integer out of range: " + quoted(trimmed(text_)));
          case NumberResult::Invalid:
            return failAt(scalarLine_, "not an integer: " + quoted(text_));
        }
        return;
      }
      case Tag::Real: {
        double value = 0;
        switch (parseReal(text_, &value)) {
          case NumberResult::Ok:
            return attach(PlistValue::real(value));
          case NumberResult::OutOfRange:
            return failAt(scalarLine_, "real number out of range: " + quoted(trimmed(text_)));
          case NumberResult::Invalid:
            return failAt(scalarLine_, "not a real number: " + quoted(text_));
        }
        return;
      }
      case Tag::Date: {
        double seconds = 0;
        if (!parseDate(text_, &seconds)) return failAt(scalarLine_, "not a date: " + quoted(text_));
        return attach(PlistValue::date(seconds));
      }
      case Tag::Data: {
        PlistData bytes;
        if (!decodeBase64(text_, bytes)) return failAt(scalarLine_, "invalid base64 in <data>");
        return attach(PlistValue::data(std::move(bytes)));
      }
      default:
        return;
    }
  }

  // Hands a finished value to the container it belongs in (start() has checked it may go there).
  void attach(PlistValue value) {
    if (open_.empty() || open_.back().tag == Tag::Plist) {
      root_ = std::move(value);
      haveRoot_ = true;
    } else if (open_.back().tag == Tag::Dict) {
      entries_.back().value = std::move(value);
      open_.back().keyWaiting = false;
    } else {
      elements_.push_back(std::move(value));
      if (recordArrays_) {
        // At the element's end: its last byte is the end of this event.
        const std::uint64_t end = byteIndex() + XML_GetCurrentByteCount(parser_);
        elementSpans_.push_back({elementStarts_.back(), end});
        elementStarts_.pop_back();
      }
    }
  }

  XML_Parser parser_;
  bool recordArrays_;
  // Where the elements of open arrays begin, innermost last; the spans of finished elements of
  // open arrays, alongside elements_; and the finished arrays of two or more, with their spans.
  std::vector<std::uint64_t> elementStarts_;
  std::vector<ByteSpan> elementSpans_;
  std::vector<RecordedArray> arrays_;
  std::vector<ByteSpan> spans_;
  std::vector<Container> open_;
  std::vector<DictEntry> entries_;
  std::vector<PlistValue> elements_;
  std::string text_;
  Tag scalar_ = Tag::Unknown;
  bool inScalar_ = false;
  std::uint64_t scalarLine_ = 0;
  PlistValue root_;
  bool haveRoot_ = false;
  bool failed_ = false;
  std::string error_;
};

// Feeds a reader from expat, which reads any XML and decides every error, but refuses entity
// declarations and loads nothing external.
class ExpatFeed {
 public:
  explicit ExpatFeed(XML_Parser parser) : parser_(parser) {}

  Status read(std::string_view bytes, XmlReader& reader) {
    XML_SetUserData(parser_, &reader);
    XML_SetElementHandler(parser_, &onStart, &onEnd);
    XML_SetCharacterDataHandler(parser_, &onText);
    XML_SetEntityDeclHandler(parser_, &onEntityDeclaration);
    XML_SetSkippedEntityHandler(parser_, &onSkippedEntity);
    XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);
    // Modest pieces keep memory small and spare expat copying the input into a buffer of its own.
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    std::size_t wanted = kPiece;
    std::size_t fed = 0;
    for (;;) {
      const std::string_view piece = bytes.substr(fed, std::min(wanted, std::size_t{INT_MAX}));
      const bool last = piece.empty();
      const XML_Status status = XML_Parse(parser_, piece.data(), static_cast<int>(piece.size()),
                                          last ? XML_TRUE : XML_FALSE);
      if (reader.failed()) {
        return Status::failure(reader.error().empty() ? "out of memory" : reader.error());
      }
      if (status != XML_STATUS_OK) {
        return Status::failure("line " + std::to_string(XML_GetCurrentLineNumber(parser_)) + ": " +
                               XML_ErrorString(XML_GetErrorCode(parser_)));
      }
      if (last) return Status::success();
      fed += piece.size();
      // Expat scans a token it could not finish again from its start on the next call. When
      // one is long (a huge comment, say), ask for at least twice as much, so rescanning stays
      // proportional to the input instead of growing with its square.
      const XML_Index unfinished = XML_GetCurrentByteIndex(parser_);
      const std::size_t pending = unfinished >= 0 && static_cast<std::size_t>(unfinished) <= fed
                                      ? fed - static_cast<std::size_t>(unfinished)
                                      : 0;
      wanted = std::max(kPiece, 2 * pending);
    }
  }

 private:
  // Handlers never let an exception unwind through expat.
  template <typename Body>
  static void guarded(void* self, Body body) {
    auto* reader = static_cast<XmlReader*>(self);
    if (reader->failed()) return;
    try {
      body(*reader);
    } catch (...) {
      reader->failOutOfMemory();
    }
  }

  static void XMLCALL onStart(void* self, const XML_Char* name, const XML_Char**) {
    guarded(self, [name](XmlReader& reader) { reader.start(name); });
  }
  static void XMLCALL onEnd(void* self, const XML_Char*) {
    guarded(self, [](XmlReader& reader) { reader.end(); });
  }
  static void XMLCALL onText(void* self, const XML_Char* text, int length) {
    guarded(self, [=](XmlReader& reader) {
      reader.text(std::string_view(text, static_cast<std::size_t>(length)));
    });
  }
  static void XMLCALL onEntityDeclaration(void* self, const XML_Char*, int, const XML_Char*, int,
                                          const XML_Char*, const XML_Char*, const XML_Char*,
                                          const XML_Char*) {
    guarded(self, [](XmlReader& reader) { reader.fail("entity declarations are not allowed"); });
  }
  static void XMLCALL onSkippedEntity(void* self, const XML_Char* name, int parameter) {
    guarded(self, [=](XmlReader& reader) {
      reader.fail(std::string("undefined entity ") + (parameter ? "%" : "&") + name + ";");
    });
  }

  XML_Parser parser_;
};

}  // namespace

Status readXmlPlist(std::string_view bytes, PlistValue* root, PlistOriginal* original) {
  XML_Parser parser = XML_ParserCreate(nullptr);
  if (!parser) return Status::failure("out of memory");
  Status status = Status::success();
  try {
    ExpatFeed feed(parser);
    XmlReader reader(parser, original != nullptr);
    status = feed.read(bytes, reader);
    if (status.ok()) status = reader.finish(root, original);
  } catch (const std::bad_alloc&) {
    status = Status::failure("out of memory");
  }
  XML_ParserFree(parser);
  return status;
}

}  // namespace tidymark
