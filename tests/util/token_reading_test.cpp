#include "quelmar/util/token_reading.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "../support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using quelmar::util::kMaxTokenBytes;
using quelmar::util::read_token_file;
using quelmar::util::read_token_line;
using quelmar::util::TokenRefused;

constexpr const char* kToken = "FlyV1 fm2_s3cret";

// The reason a read is refused for; it never holds what was read.
template <typename Read>
std::string refusal(Read read) {
  try {
    read();
  } catch (const TokenRefused& e) {
    EXPECT_EQ(std::string(e.what()).find("s3cret"), std::string::npos) << e.what();
    return e.what();
  }
  return "accepted";
}

TEST(TokenReading, AFileHoldsOneLineOfTheOwnerOnly) {
  const fs::path dir = quelmar::testing::make_temp_dir("token-reading");
  const auto file = [&](const std::string& content, mode_t mode = 0600) {
    const fs::path path = dir / "token";
    fs::remove(path);
    std::ofstream(path, std::ios::binary) << content;
    ::chmod(path.c_str(), mode);
    return path;
  };
  EXPECT_EQ(read_token_file(file(kToken)), kToken);
  EXPECT_EQ(read_token_file(file(std::string(kToken) + "\r\n")), kToken) << "one line end";
  EXPECT_EQ(refusal([&] { read_token_file(file(std::string(kToken) + "\n\n")); }),
            "holds more than one line or a control character");
  EXPECT_EQ(refusal([&] { read_token_file(file("\n")); }), "holds no token");
  EXPECT_EQ(refusal([&] { read_token_file(file(kToken, 0620)); }),
            "writable by group or others (mode 0620)");
  EXPECT_EQ(refusal([&] { read_token_file(file(std::string(kMaxTokenBytes + 1, 'x'))); }),
            "larger than 65536 bytes");
  EXPECT_EQ(refusal([&] { read_token_file(dir); }), "not a regular file");
  fs::remove_all(dir);
}

TEST(TokenReading, AStreamGivesItsFirstLineAndNothingBeyondTheBound) {
  const auto line = [](const std::string& input) {
    std::istringstream in(input);
    return read_token_line(in);
  };
  EXPECT_EQ(line(std::string(kToken) + "\r\nnext line"), kToken);
  EXPECT_EQ(line(kToken), kToken) << "no line end at the end of input";
  EXPECT_EQ(refusal([&] { line(""); }), "no token (end of input)");
  EXPECT_EQ(refusal([&] { line("\n"); }), "holds no token");
  EXPECT_EQ(refusal([&] { line("s3cret\tx\n"); }),
            "holds more than one line or a control character");
  EXPECT_EQ(refusal([&] { line(std::string(kMaxTokenBytes + 1, 'x')); }),
            "the token line is too long");
  EXPECT_EQ(line(std::string(kMaxTokenBytes, 'x')).size(), kMaxTokenBytes);
}

}  // namespace
