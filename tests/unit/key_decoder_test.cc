// Keys from their bytes: a sequence from a terminal or a two-byte key from a
// Windows console is one key, never Esc or Enter; a script's bytes are keys
// each, a line feed among them Enter.
#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "common/constants.h"
#include "console/key_stream.h"

namespace travek {
namespace {

// The bytes that follow the first, as they would arrive, and the longest
// wait the decoder asked for.
std::deque<int> following;
int longest_wait = -1;

int next(int wait_ms) {
  longest_wait = std::max(longest_wait, wait_ms);
  if (following.empty()) return -1;
  const int byte = following.front();
  following.pop_front();
  return byte;
}

TEST(KeyDecoder, OneKeyFromItsBytes) {
  constexpr KeySource kTerminal = KeySource::kTerminal;
  constexpr KeySource kConsole = KeySource::kConsole;
  constexpr KeySource kScript = KeySource::kScript;
  const struct {
    const char* what;
    KeySource source;
    std::vector<int> bytes;
    int key;
    size_t left;  // bytes that belong to the next key
    int wait;     // the longest wait for a following byte; -1 none
  } cases[] = {
      {"Esc alone", kTerminal, {27}, KEY_ESC, 0, 50},
      {"Up arrow", kTerminal, {27, '[', 'A'}, KEY_OTHER, 0, 50},
      {"Up arrow, then Enter", kTerminal, {27, '[', 'A', 13}, KEY_OTHER, 1, 50},
      {"F5", kTerminal, {27, '[', '1', '5', '~'}, KEY_OTHER, 0, 50},
      {"Ctrl+End", kTerminal, {27, '[', '1', ';', '5', 'F'}, KEY_OTHER, 0, 50},
      {"F1, Linux console", kTerminal, {27, '[', '[', 'A'}, KEY_OTHER, 0, 50},
      {"F1, xterm", kTerminal, {27, 'O', 'P'}, KEY_OTHER, 0, 50},
      {"Alt+x", kTerminal, {27, 'x'}, KEY_OTHER, 0, 50},
      {"Alt+Enter", kTerminal, {27, 13}, KEY_OTHER, 0, 50},
      {"Enter", kTerminal, {13}, KEY_ENTER, 0, -1},
      {"Ctrl+J is no Enter", kTerminal, {10}, 10, 0, -1},
      {"Up arrow", kConsole, {0xE0, 0x48}, KEY_OTHER, 0, 0},
      {"F1", kConsole, {0x00, 0x3B}, KEY_OTHER, 0, 0},
      {"a code that reads as Esc", kConsole, {0x00, 27}, KEY_OTHER, 0, 0},
      {"a code that reads as Enter", kConsole, {0xE0, 13}, KEY_OTHER, 0, 0},
      {"Esc", kConsole, {27}, KEY_ESC, 0, -1},
      {"Enter", kConsole, {13}, KEY_ENTER, 0, -1},
      {"line feed", kScript, {'\n'}, KEY_ENTER, 0, -1},
      {"carriage return", kScript, {13}, KEY_ENTER, 0, -1},
      {"Esc and what follows", kScript, {27, '[', 'A'}, KEY_ESC, 2, -1},
  };
  for (const auto& c : cases) {
    following.assign(c.bytes.begin() + 1, c.bytes.end());
    longest_wait = -1;
    EXPECT_EQ(decode_key(c.source, c.bytes[0], next), c.key) << c.what;
    EXPECT_EQ(following.size(), c.left) << c.what;
    EXPECT_EQ(longest_wait, c.wait) << c.what;
  }
}

}  // namespace
}  // namespace travek
