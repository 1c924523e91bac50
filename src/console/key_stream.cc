#include "console/key_stream.h"

#include "common/constants.h"

namespace travek {
namespace {

struct KeyStream {
  bool line_feed_is_enter = false;
  int pending_key = -1;
  bool ended = false;
};

KeyStream keys;

// The next key from the stream; false once it has ended.
bool next_key(int* key) {
  unsigned char byte;
  if (keys.ended || !input_read_byte(&byte)) {
    keys.ended = true;
    return false;
  }
  *key = keys.line_feed_is_enter && byte == '\n' ? KEY_ENTER : byte;
  return true;
}

}  // namespace

void key_stream_reset(bool line_feed_is_enter) { keys = KeyStream{line_feed_is_enter}; }

bool key_stream_waiting() {
  if (keys.pending_key >= 0) return true;
  if (keys.ended || !input_byte_ready()) return false;
  int key;
  if (!next_key(&key)) return false;
  keys.pending_key = key;
  return true;
}

int key_stream_read() {
  if (keys.pending_key >= 0) {
    int key = keys.pending_key;
    keys.pending_key = -1;
    return key;
  }
  int key;
  return next_key(&key) ? key : KEY_END_OF_INPUT;
}

}  // namespace travek
