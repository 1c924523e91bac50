// Keys taken from standard input as a byte stream: one byte a key, looked
// at without waiting when asked whether a key is there. Without a keyboard
// behind it (a pipe or a file) a line feed is Enter too; once the stream has
// ended no key is ever waiting and a read gives KEY_END_OF_INPUT.
#pragma once

namespace travek {

void key_stream_reset(bool line_feed_is_enter);
bool key_stream_waiting();
int key_stream_read();

// Per platform, on standard input.
// True when a byte can be read without waiting, or the input has ended.
bool input_byte_ready();
// One byte; false at the end of the input.
bool input_read_byte(unsigned char* byte);

}  // namespace travek
