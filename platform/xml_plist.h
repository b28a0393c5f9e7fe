#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/byte_sink.h"
#include "platform/plist_value.h"
#include "platform/status.h"

namespace tidymark {

// Reads an XML property list. The root may be of any kind. Errors name the line. Entity
// declarations are refused, so nothing can expand and nothing external is ever loaded.
Status readXmlPlist(std::string_view bytes, PlistValue* root);

// The same, for a document handed over piece by piece, so that a large file is never held
// whole: each call sets *piece to the next bytes, about `wanted` of them (it may be fewer), and
// to nothing at the end; a failure ends the reading with its message.
using XmlPieceReader = std::function<Status(std::size_t wanted, std::string_view* piece)>;
Status readXmlPlist(const XmlPieceReader& nextPiece, PlistValue* root);

// Writes `root` in the standard XML property-list layout to `sink`. Fails on what XML cannot
// hold (such as control characters in a string, or a date outside years 1 to 9999); what was
// written before the failure has then reached the sink.
Status writeXmlPlist(const PlistValue& root, ByteSink& sink);

// The same, appending to `out`, which is left as it was when the writer fails.
Status writeXmlPlist(const PlistValue& root, std::string* out);

}  // namespace tidymark
