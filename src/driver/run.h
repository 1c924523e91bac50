// The program's entry: console, banner, switches, port, file, mode, end.
#pragma once

namespace travek {

[[noreturn]] void run_program(int argc, char** argv);

}  // namespace travek
