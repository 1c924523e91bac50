// What the tests of recorded runs share: random images, a file's text, the
// JSON Lines of an event stream or a run log, and a folder of a test's own.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {

inline std::vector<uint8_t> random_image(size_t size, unsigned seed = 11) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> image(size);
  for (uint8_t& b : image) b = static_cast<uint8_t>(rng());
  return image;
}

// Every line a JSON object; a line that is not fails the test.
inline std::vector<nlohmann::json> json_lines(const std::string& text) {
  std::vector<nlohmann::json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
    EXPECT_TRUE(parsed.is_object()) << "not a JSON object: \"" << line << "\"";
    if (parsed.is_object()) lines.push_back(parsed);
  }
  return lines;
}

// A folder of the test's own, removed with everything in it.
class TempFolder {
 public:
  explicit TempFolder(const std::string& stem) {
    std::string pattern = "/tmp/travek-" + stem + "-XXXXXX";
    path_ = mkdtemp(pattern.data());
  }
  ~TempFolder() { std::filesystem::remove_all(path_); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A test with a folder of its own: its files by name, each written whole.
class FolderTest : public ::testing::Test {
 protected:
  explicit FolderTest(const std::string& stem) : folder_(stem) {}

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::string write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
    return path(name);
  }

  std::string write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    return write(name, std::string(bytes.begin(), bytes.end()));
  }

  TempFolder folder_;
  const std::string dir_ = folder_.path();
};

}  // namespace e2e
