#include "platform/plist_edit.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace tidymark {

void PlistOriginal::addReferenceList(const void* id, std::uint64_t object,
                                     std::uint64_t references, std::uint32_t count,
                                     unsigned refSize) {
  refSize_ = refSize;
  arrays_.push_back({id, object, references, count});
}

void PlistOriginal::addElements(const void* id, const ByteSpan* elements, std::uint32_t count) {
  arrays_.push_back({id, arrays_.size(), spans_.size(), count});
  spans_.insert(spans_.end(), elements, elements + count);
}

std::vector<ByteSpan> PlistOriginal::elementsOf(const ArrayRecord& record) const {
  if (refSize_ == 0) {
    const auto first = spans_.begin() + static_cast<std::ptrdiff_t>(record.first);
    return {first, first + record.count};
  }
  std::vector<ByteSpan> elements(record.count);
  for (std::uint32_t i = 0; i < record.count; ++i) {
    elements[i].begin = record.first + std::uint64_t{i} * refSize_;
    elements[i].end = elements[i].begin + refSize_;
  }
  return elements;
}

namespace {

// Whether `order` moves any of `count` elements: nothing when it is not a permutation of them.
std::optional<bool> movesAny(const std::vector<std::uint32_t>& order, std::uint32_t count) {
  if (order.size() != count) return std::nullopt;
  std::vector<bool> seen(count);
  bool moved = false;
  for (std::uint32_t k = 0; k < count; ++k) {
    if (order[k] >= count || seen[order[k]]) return std::nullopt;
    seen[order[k]] = true;
    moved |= order[k] != k;
  }
  return moved;
}

}  // namespace

std::optional<PlistEdit> PlistOriginal::edit(const std::vector<ArrayMove>& moves) const {
  std::unordered_map<const void*, const ArrayRecord*> byId;
  byId.reserve(arrays_.size());
  for (const ArrayRecord& record : arrays_) byId.emplace(record.id, &record);

  // One order per array object; every array read from it must take that order.
  std::unordered_map<std::uint64_t, const ArrayMove*> orderOf;
  std::unordered_set<const void*> moved;
  for (const ArrayMove& move : moves) {
    const auto found = byId.find(move.entriesId);
    if (found == byId.end()) return std::nullopt;
    const std::optional<bool> changes = movesAny(move.order, found->second->count);
    if (!changes) return std::nullopt;
    if (!*changes) continue;
    const ArrayRecord& record = *found->second;
    const auto [existing, added] = orderOf.emplace(record.object, &move);
    if (!added && existing->second->order != move.order) return std::nullopt;
    moved.insert(move.entriesId);
  }
  PlistEdit edit;
  edit.original_ = bytes_;
  for (const ArrayRecord& record : arrays_) {
    const auto found = orderOf.find(record.object);
    if (found == orderOf.end()) continue;
    // A copy of a moved object that stayed as it was needs another order than the moved one.
    if (!moved.contains(record.id)) return std::nullopt;
    if (!found->second) continue;  // written already
    edit.reorderings_.push_back({elementsOf(record), &found->second->order});
    found->second = nullptr;
  }
  std::sort(edit.reorderings_.begin(), edit.reorderings_.end(),
            [](const PlistEdit::Reordering& a, const PlistEdit::Reordering& b) {
              return a.elements.front().begin < b.elements.front().begin;
            });
  return edit;
}

Status PlistEdit::write(ByteSink& sink) const {
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  std::string buffer;
  buffer.reserve(kPiece);
  const auto flush = [&] {
    const bool ok = buffer.empty() || sink.write(buffer);
    buffer.clear();
    return ok;
  };
  const auto copy = [&](std::uint64_t begin, std::uint64_t end) {
    const std::string_view bytes = original_.substr(begin, end - begin);
    if (buffer.size() + bytes.size() <= kPiece) {
      buffer.append(bytes);
      return true;
    }
    return flush() && sink.write(bytes);
  };

  // A piece of the original to write: as it is (`plain`), or with the reorderings inside it.
  // An explicit stack rather than recursion, since arrays may nest as deep as the file likes.
  struct Piece {
    std::uint64_t begin;
    std::uint64_t end;
    bool plain;
  };
  const auto firstFrom = [this](std::uint64_t position) {
    return std::lower_bound(reorderings_.begin(), reorderings_.end(), position,
                            [](const Reordering& r, std::uint64_t at) {
                              return r.elements.front().begin < at;
                            });
  };
  std::vector<Piece> pending = {{0, original_.size(), false}};
  std::vector<Piece> parts;
  while (!pending.empty()) {
    const Piece piece = pending.back();
    pending.pop_back();
    // An array begins where its first element does, so arrays inside a piece begin after it.
    auto next = firstFrom(piece.begin + 1);
    if (piece.plain || next == reorderings_.end() || next->elements.front().begin >= piece.end) {
      if (!copy(piece.begin, piece.end)) return Status::failure(sink.error());
      continue;
    }
    // Each array in the piece: what lies before it, then its elements in their new order with
    // the bytes between them where they were.
    parts.clear();
    std::uint64_t position = piece.begin;
    for (; next != reorderings_.end() && next->elements.front().begin < piece.end;
         next = firstFrom(position)) {
      const std::vector<ByteSpan>& elements = next->elements;
      const std::vector<std::uint32_t>& order = *next->order;
      parts.push_back({position, elements.front().begin, true});
      for (std::size_t k = 0; k < elements.size(); ++k) {
        if (k > 0) parts.push_back({elements[k - 1].end, elements[k].begin, true});
        parts.push_back({elements[order[k]].begin, elements[order[k]].end, false});
      }
      position = elements.back().end;
    }
    parts.push_back({position, piece.end, true});
    pending.insert(pending.end(), parts.rbegin(), parts.rend());
  }
  return flush() ? Status::success() : Status::failure(sink.error());
}

}  // namespace tidymark
