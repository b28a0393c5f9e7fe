#include "platform/plist_value.h"

#include <bit>
#include <utility>

namespace tidymark {

namespace {

bool isNonEmptyContainer(const PlistValue& value) {
  if (const PlistArray* array = value.asArray()) return !array->empty();
  if (const PlistDict* dict = value.asDict()) return !dict->empty();
  return false;
}

// Moves every child of `value` that itself has children into `pending`, leaving an empty
// container in its place, so that destroying `value` goes one level deep only.
void detachNestedContainers(PlistValue& value, std::vector<PlistValue>& pending) {
  auto detach = [&](PlistValue& child) {
    if (isNonEmptyContainer(child)) pending.push_back(std::move(child));
  };
  if (PlistArray* array = value.asArray()) {
    for (PlistValue& child : *array)
      detach(child);
  } else if (PlistDict* dict = value.asDict()) {
    for (DictEntry& entry : *dict)
      detach(entry.value);
  }
}

}  // namespace

PlistValue::~PlistValue() {
  if (!isContainer()) return;
  std::vector<PlistValue> pending;
  detachNestedContainers(*this, pending);
  while (!pending.empty()) {
    PlistValue next = std::move(pending.back());
    pending.pop_back();
    detachNestedContainers(next, pending);
  }
}

PlistValue PlistValue::dict() {
  return PlistValue(Storage(PlistDict()));
}
PlistValue PlistValue::dict(PlistDict entries) {
  return PlistValue(Storage(std::move(entries)));
}
PlistValue PlistValue::array(PlistArray elements) {
  return PlistValue(Storage(std::move(elements)));
}
PlistValue PlistValue::string(PlistString text) {
  return PlistValue(Storage(std::move(text)));
}
PlistValue PlistValue::integer(PlistInteger value) {
  return PlistValue(Storage(value));
}
PlistValue PlistValue::real(double value) {
  return PlistValue(Storage(std::in_place_type<double>, value));
}
PlistValue PlistValue::boolean(bool value) {
  return PlistValue(Storage(std::in_place_type<bool>, value));
}
PlistValue PlistValue::date(double secondsSince2001) {
  return PlistValue(Storage(PlistDate{secondsSince2001}));
}
PlistValue PlistValue::data(PlistData bytes) {
  return PlistValue(Storage(std::move(bytes)));
}
PlistValue PlistValue::uid(std::uint64_t value) {
  return PlistValue(Storage(PlistUid{value}));
}

bool sameScalar(const PlistValue& a, const PlistValue& b) {
  switch (a.kind()) {
    case PlistKind::String:
      return *a.asString() == *b.asString();
    case PlistKind::Integer:
      return *a.asInteger() == *b.asInteger();
    case PlistKind::Real:
      return std::bit_cast<std::uint64_t>(*a.asReal()) == std::bit_cast<std::uint64_t>(*b.asReal());
    case PlistKind::Boolean:
      return *a.asBoolean() == *b.asBoolean();
    case PlistKind::Date:
      return std::bit_cast<std::uint64_t>(a.asDate()->secondsSince2001) ==
             std::bit_cast<std::uint64_t>(b.asDate()->secondsSince2001);
    case PlistKind::Data:
      return *a.asData() == *b.asData();
    case PlistKind::Uid:
      return a.asUid()->value == b.asUid()->value;
    case PlistKind::Dictionary:
    case PlistKind::Array:
      break;
  }
  return false;
}

bool operator==(const PlistValue& a, const PlistValue& b) {
  // An explicit stack instead of recursion: trees may be nested arbitrarily deep.
  std::vector<std::pair<const PlistValue*, const PlistValue*>> pending{{&a, &b}};
  while (!pending.empty()) {
    auto [x, y] = pending.back();
    pending.pop_back();
    if (x->kind() != y->kind()) return false;
    if (const PlistArray* xs = x->asArray()) {
      const PlistArray& ys = *y->asArray();
      if (xs->size() != ys.size()) return false;
      for (std::size_t i = 0; i < xs->size(); ++i)
        pending.emplace_back(&(*xs)[i], &ys[i]);
    } else if (const PlistDict* xs = x->asDict()) {
      const PlistDict& ys = *y->asDict();
      if (xs->size() != ys.size()) return false;
      for (std::size_t i = 0; i < xs->size(); ++i) {
        if ((*xs)[i].key != ys[i].key) return false;
        pending.emplace_back(&(*xs)[i].value, &ys[i].value);
      }
    } else if (!sameScalar(*x, *y)) {
      return false;
    }
  }
  return true;
}

}  // namespace tidymark
