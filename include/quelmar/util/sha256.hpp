// A fingerprint of bytes, as files and logs write it.
#pragma once

#include <string>
#include <string_view>

namespace quelmar::util {

// The SHA-256 of `bytes` in lower-case hex (64 characters).
std::string sha256_hex(std::string_view bytes);

}  // namespace quelmar::util
