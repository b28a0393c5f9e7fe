#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/byte_sink.h"
#include "platform/plist_edit.h"
#include "platform/plist_nodes.h"
#include "platform/plist_value.h"
#include "platform/status.h"

namespace tidymark {

// The magic that opens every binary property list this tool reads and writes.
inline constexpr std::string_view kBinaryPlistMagic = "bplist00";

// Reads a binary property list and builds its tree. The root may be of any kind. Every offset,
// reference and count is checked against the input, reference cycles are refused, and so is an
// input whose shared references would expand into a tree far larger than the input itself. When
// `original` is given (and holds `bytes`), where each array of two or more elements lies is
// recorded in it.
Status readBinaryPlist(std::string_view bytes, PlistValue* root, PlistOriginal* original = nullptr);

// Checks a binary property list exactly as readBinaryPlist does, failing alike, but builds no
// tree: *nodes then reads the values where they lie in `bytes`, which must outlive it. Arrays are
// recorded in `original` by arrayObjectId of their objects.
Status checkBinaryPlist(std::string_view bytes, std::unique_ptr<const PlistNodes>* nodes,
                        PlistOriginal* original = nullptr);

// The values of `bytes`, which checkBinaryPlist has accepted, read where they lie (in
// binary_plist_nodes.cpp): the check vouches for every offset, length, reference and text they
// reach, so nothing is checked again.
std::unique_ptr<const PlistNodes> checkedBinaryNodes(std::string_view bytes);

// Writes `root` as a binary property list to `sink`. Equal scalars are written once and shared;
// offset and reference widths are the smallest that fit. Nothing reaches the sink when the
// tree cannot be written (a string that is not UTF-8, say).
Status writeBinaryPlist(const PlistValue& root, ByteSink& sink);

// The same, appending to `out`.
Status writeBinaryPlist(const PlistValue& root, std::string* out);

}  // namespace tidymark
