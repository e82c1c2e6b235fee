// Cutting long text from outside (error bodies, values) down to what a message shows.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quelmar::util {

// `text` when it has at most `max_bytes` bytes; otherwise its longest start of at most
// `max_bytes` bytes that ends between two characters, followed by "...". A byte that is not
// part of valid UTF-8 counts as one character.
std::string truncated(std::string_view text, std::size_t max_bytes);

}  // namespace quelmar::util
