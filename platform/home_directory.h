#pragma once

#include <string>
#include <string_view>

namespace tidymark {

// The current user's home directory: $HOME when it is set and not empty, otherwise the user
// database's entry for the real user. Empty when neither gives one. Each system has its own
// version (home_directory_linux.cpp).
std::string homeDirectory();

// `base` and `component` joined with exactly one separator between them, whatever separators
// either brings: "/Users/example/" and "/Library" give "/Users/example/Library".
std::string appendPathComponent(std::string_view base, std::string_view component);

}  // namespace tidymark
