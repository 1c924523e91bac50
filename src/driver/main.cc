#include "driver/run.h"

int main(int argc, char** argv) { travek::run_program(argc, argv); }
