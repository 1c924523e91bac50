#include "console/key_stream.h"

#include "common/constants.h"

namespace travek {
namespace {

// A terminal sends the bytes of one key together; a program waits this long
// for the next before it takes an ESC as the Esc key.
constexpr int kSequenceGapMs = 50;
// Windows console keys beyond the character set come as one of these, then
// the key's code.
constexpr int kConsolePrefixes[] = {0x00, 0xE0};

struct KeyStream {
  KeySource source = KeySource::kScript;
  int pending_key = -1;
  bool ended = false;
};

KeyStream keys;

// The next byte of the stream within wait_ms; -1 if none, or at its end.
int next_byte(int wait_ms) {
  unsigned char byte;
  if (keys.ended || !input_byte_within(wait_ms)) return -1;
  if (!input_read_byte(&byte)) {
    keys.ended = true;
    return -1;
  }
  return byte;
}

bool is_csi_final(int byte) { return byte >= 0x40 && byte <= 0x7E; }

// ESC '[' parameters... final byte; the Linux console's F1-F5 have a second
// '[' before theirs.
void swallow_csi(int (*next)(int)) {
  int byte = next(kSequenceGapMs);
  if (byte == '[') byte = next(kSequenceGapMs);
  while (byte >= 0 && !is_csi_final(byte)) byte = next(kSequenceGapMs);
}

// The next key from the stream; false once it has ended.
bool next_key(int* key) {
  unsigned char byte;
  if (keys.ended || !input_read_byte(&byte)) {
    keys.ended = true;
    return false;
  }
  *key = decode_key(keys.source, byte, next_byte);
  return true;
}

}  // namespace

int decode_key(KeySource source, int first, int (*next)(int wait_ms)) {
  switch (source) {
    case KeySource::kScript:
      return first == '\n' ? KEY_ENTER : first;
    case KeySource::kConsole:
      for (int prefix : kConsolePrefixes) {
        if (first == prefix) {
          next(0);  // the key's code, already there
          return KEY_OTHER;
        }
      }
      return first;
    case KeySource::kTerminal:
      break;
  }
  if (first != KEY_ESC) return first;
  const int second = next(kSequenceGapMs);
  if (second < 0) return KEY_ESC;
  if (second == '[') {
    swallow_csi(next);
  } else if (second == 'O') {
    next(kSequenceGapMs);  // SS3: one byte names the key
  }
  return KEY_OTHER;
}

void key_stream_reset(KeySource source) {
  keys = KeyStream{};
  keys.source = source;
}

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

void key_stream_discard() { keys.pending_key = -1; }

bool key_stream_ended() { return keys.ended && keys.pending_key < 0; }

}  // namespace travek
