#include "platform/binary_plist.h"

#include <bit>
#include <cstdint>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/binary_plist_format.h"
#include "platform/utf8.h"

namespace tidymark {

namespace {

using namespace binary_format;

// A marker with its length: in its low four bits below 15, else as an integer object after it.
void appendMarker(std::string& out, std::uint8_t type, std::uint64_t count) {
  if (count < 15) {
    out.push_back(static_cast<char>(type | count));
    return;
  }
  out.push_back(static_cast<char>(type | 0x0F));
  const unsigned width = widthFor(count);
  out.push_back(static_cast<char>(0x10 | std::countr_zero(width)));
  appendBigEndian(out, count, width);
}

// Flattens the tree into a list of objects, then writes them: the way Python's plistlib does.
// Every container is an object of its own; equal scalars (bit for bit, strings and keys alike)
// are one object, kept as the bytes they are written as.
class Writer {
 public:
  bool flatten(const PlistValue& root);
  bool write(ByteSink& sink);
  const std::string& error() const { return error_; }
  bool sinkFailed() const { return sinkFailed_; }

 private:
  struct Object {
    const std::string* scalar = nullptr;  // a scalar's bytes (a key of scalars_)
    std::uint8_t marker = 0;              // a container's type: 0xA0 or 0xD0
    std::uint64_t count = 0;              // a container's references, from refs_[first]
    std::uint64_t first = 0;
  };
  // A container whose values are still to be numbered; its references start at refs_[first].
  struct Frame {
    const PlistValue* container;
    std::size_t next;
    std::uint64_t first;
  };

  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }
  bool encodeString(std::string_view text, std::string& out);
  bool encodeScalar(const PlistValue& value, std::string& out);
  bool numberScalar(std::string encoded, std::uint64_t* number);
  bool number(const PlistValue& value, std::uint64_t ref, std::vector<Frame>& stack);

  std::vector<Object> objects_;
  std::vector<std::uint64_t> refs_;
  std::unordered_map<std::string, std::uint64_t> scalars_;
  std::string error_;
  bool sinkFailed_ = false;
};

bool Writer::encodeString(std::string_view text, std::string& out) {
  if (isAscii(text)) {
    appendMarker(out, 0x50, text.size());
    out.append(text);
    return true;
  }
  std::u16string units;
  for (std::size_t pos = 0; pos < text.size();) {
    char32_t codePoint = decodeUtf8(text, pos);
    if (codePoint == kInvalidCodePoint) {
      return fail("a string is not valid UTF-8: \"" + std::string(text.substr(0, 40)) + "\"");
    }
    if (codePoint >= 0x10000) {
      codePoint -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
      codePoint = 0xDC00 + (codePoint & 0x3FF);
    }
    units.push_back(static_cast<char16_t>(codePoint));
  }
  appendMarker(out, 0x60, units.size());
  for (char16_t unit : units)
    appendBigEndian(out, unit, 2);
  return true;
}

bool Writer::encodeScalar(const PlistValue& value, std::string& out) {
  switch (value.kind()) {
    case PlistKind::String:
      return encodeString(*value.asString(), out);
    case PlistKind::Integer: {
      const PlistInteger integer = *value.asInteger();
      // 1, 2 and 4 bytes hold unsigned values, 8 a signed one, 16 the rest up to 2^64-1.
      const unsigned width = !integer.fitsSigned()  ? 16
                             : integer.isNegative() ? 8
                                                    : widthFor(integer.asUnsigned());
      out.push_back(static_cast<char>(0x10 | std::countr_zero(width)));
      if (width == 16) appendBigEndian(out, 0, 8);
      appendBigEndian(out, integer.asUnsigned(), width == 16 ? 8 : width);
      return true;
    }
    case PlistKind::Real:
      out.push_back('\x23');
      appendBigEndian(out, std::bit_cast<std::uint64_t>(*value.asReal()), 8);
      return true;
    case PlistKind::Date:
      out.push_back('\x33');
      appendBigEndian(out, std::bit_cast<std::uint64_t>(value.asDate()->secondsSince2001), 8);
      return true;
    case PlistKind::Boolean:
      out.push_back(*value.asBoolean() ? '\x09' : '\x08');
      return true;
    case PlistKind::Uid: {
      const unsigned width = widthFor(value.asUid()->value);
      out.push_back(static_cast<char>(0x80 | (width - 1)));
      appendBigEndian(out, value.asUid()->value, width);
      return true;
    }
    case PlistKind::Data: {
      const PlistData& bytes = *value.asData();
      appendMarker(out, 0x40, bytes.size());
      out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      return true;
    }
    default:
      return fail("internal error: a container taken for a scalar");
  }
}

bool Writer::numberScalar(std::string encoded, std::uint64_t* number) {
  const auto [entry, added] = scalars_.try_emplace(std::move(encoded), objects_.size());
  if (added) objects_.push_back(Object{&entry->first});
  *number = entry->second;
  return true;
}

// Numbers `value` into refs_[ref]. A container gets a new object, its keys are numbered at once,
// and it goes on `stack` so that its values are numbered next, depth first.
bool Writer::number(const PlistValue& value, std::uint64_t ref, std::vector<Frame>& stack) {
  std::uint64_t assigned = 0;
  if (!value.isContainer()) {
    std::string encoded;
    if (!encodeScalar(value, encoded) || !numberScalar(std::move(encoded), &assigned)) return false;
    refs_[ref] = assigned;
    return true;
  }
  const PlistDict* dict = value.asDict();
  const std::uint64_t count = dict ? dict->size() : value.asArray()->size();
  const std::uint64_t first = refs_.size();
  refs_[ref] = objects_.size();
  objects_.push_back(Object{nullptr, dict ? std::uint8_t{0xD0} : std::uint8_t{0xA0},
                            dict ? 2 * count : count, first});
  refs_.resize(first + (dict ? 2 * count : count));
  if (dict) {
    for (std::uint64_t i = 0; i < count; ++i) {
      std::string encoded;
      if (!encodeString((*dict)[i].key, encoded) ||
          !numberScalar(std::move(encoded), &refs_[first + i])) {
        return false;
      }
    }
  }
  if (count > 0) stack.push_back(Frame{&value, 0, dict ? first + count : first});
  return true;
}

bool Writer::flatten(const PlistValue& root) {
  refs_.push_back(0);  // the root's number, which is 0
  std::vector<Frame> stack;
  if (!number(root, 0, stack)) return false;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const PlistDict* dict = frame.container->asDict();
    const std::size_t count = dict ? dict->size() : frame.container->asArray()->size();
    if (frame.next == count) {
      stack.pop_back();
      continue;
    }
    const std::size_t i = frame.next++;
    const PlistValue& child = dict ? (*dict)[i].value : (*frame.container->asArray())[i];
    if (!number(child, frame.first + i, stack)) return false;  // may grow `stack`
  }
  return true;
}

bool Writer::write(ByteSink& sink) {
  // References and offsets take the fewest bytes that hold them.
  const unsigned refSize = widthFor(objects_.size() - 1);
  std::string out(kBinaryPlistMagic);
  std::vector<std::uint64_t> offsets;
  offsets.reserve(objects_.size());
  std::uint64_t written = 0;
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  for (const Object& object : objects_) {
    offsets.push_back(written + out.size());
    if (object.scalar) {
      out.append(*object.scalar);
    } else {
      appendMarker(out, object.marker, object.marker == 0xD0 ? object.count / 2 : object.count);
      for (std::uint64_t i = 0; i < object.count; ++i) {
        appendBigEndian(out, refs_[object.first + i], refSize);
      }
    }
    if (out.size() >= kPiece) {
      if (!sink.write(out)) return sinkFailed_ = true, fail(sink.error());
      written += out.size();
      out.clear();
    }
  }
  const std::uint64_t tableOffset = written + out.size();
  const unsigned offsetSize = widthFor(tableOffset);
  for (std::uint64_t offset : offsets)
    appendBigEndian(out, offset, offsetSize);
  out.append(6, '\0');
  out.push_back(static_cast<char>(offsetSize));
  out.push_back(static_cast<char>(refSize));
  appendBigEndian(out, objects_.size(), 8);
  appendBigEndian(out, 0, 8);  // the top object
  appendBigEndian(out, tableOffset, 8);
  if (!sink.write(out)) return sinkFailed_ = true, fail(sink.error());
  return true;
}

}  // namespace

Status writeBinaryPlist(const PlistValue& root, std::string* out) {
  StringSink sink(*out);
  return writeBinaryPlist(root, sink);
}

Status writeBinaryPlist(const PlistValue& root, ByteSink& sink) {
  try {
    Writer writer;
    if (!writer.flatten(root) || !writer.write(sink)) {
      // What the sink says stands on its own ("cannot write: No space left on device").
      return Status::failure(writer.sinkFailed()
                                 ? writer.error()
                                 : "cannot write the binary property list: " + writer.error());
    }
    return Status::success();
  } catch (const std::bad_alloc&) {
    return Status::failure("not enough memory to write the binary property list");
  }
}

}  // namespace tidymark
