// Linux line settings through termios2 (TCGETS2/TCSETS2 with BOTHER): the one
// way to put an arbitrary integer rate on the line. Kept in a file of its own
// because <asm/termbits.h> and the C library's <termios.h> cannot share one.
#pragma once

#include <cstdint>

namespace travek::termios2 {

// The kept settings record of the open port.
bool fetch(int fd);                           // read the port's settings
void make_raw(uint32_t rate, int stop_bits);  // raw 8-N, no flow control
void set_rate(uint32_t rate, int stop_bits);  // rate and stop bits only
bool apply(int fd);                           // write the record to the port

// Any terminal, leaving the kept record alone.
bool query(int fd, uint32_t* rate, int* stop_bits);
bool set_raw(int fd, uint32_t rate, int stop_bits);

}  // namespace travek::termios2
