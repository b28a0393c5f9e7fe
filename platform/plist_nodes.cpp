#include "platform/plist_nodes.h"

namespace tidymark {

std::size_t TreeNodes::size(Node node) const {
  const PlistValue& v = valueOf(node);
  if (const PlistArray* elements = v.asArray()) return elements->size();
  if (const PlistDict* entries = v.asDict()) return entries->size();
  return 0;
}

bool TreeNodes::text(Node node, std::string_view* text) const {
  const PlistString* string = valueOf(node).asString();
  if (string) *text = string->view();
  return string != nullptr;
}

}  // namespace tidymark
