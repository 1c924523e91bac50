// Keys taken from standard input as a byte stream, decoded the same way on
// every platform. Where the bytes come from decides how they are read:
//  - a terminal: a key that sends a sequence (ESC then '[' or 'O' and the
//    rest, or ESC and any byte close behind it, as Alt and the arrows do)
//    is one key, KEY_OTHER; only an ESC with nothing after it within 50 ms
//    is Esc;
//  - a Windows console (_getch): a two-byte key (0 or 0xE0, then its code)
//    is one key, KEY_OTHER;
//  - a pipe or a file, the operator's script: one byte a key, a line feed
//    is Enter too.
// Once the stream has ended no key is ever waiting and a read gives
// KEY_END_OF_INPUT.
#pragma once

namespace travek {

enum class KeySource { kTerminal, kConsole, kScript };

void key_stream_reset(KeySource source);
bool key_stream_waiting();
int key_stream_read();
// True once a look or a read has met the end of the stream.
bool key_stream_ended();
// Forgets a key looked at by key_stream_waiting() but not yet read.
void key_stream_discard();

// The key that begins with the byte first; the bytes after it come from
// next(wait_ms), which gives -1 when none arrives within wait_ms.
int decode_key(KeySource source, int first, int (*next)(int wait_ms));

// Per platform, on standard input.
// True when a byte can be read without waiting, or the input has ended.
bool input_byte_ready();
// True when a byte can be read within wait_ms (or the input has ended).
bool input_byte_within(int wait_ms);
// One byte; false at the end of the input.
bool input_read_byte(unsigned char* byte);

}  // namespace travek
