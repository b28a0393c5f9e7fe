#include "platform/home_directory.h"

namespace tidymark {

std::string appendPathComponent(std::string_view base, std::string_view component) {
  while (base.size() > 1 && base.back() == '/')
    base.remove_suffix(1);
  while (!component.empty() && component.front() == '/')
    component.remove_prefix(1);
  std::string joined(base);
  if (joined != "/") joined += '/';
  joined += component;
  return joined;
}

}  // namespace tidymark
