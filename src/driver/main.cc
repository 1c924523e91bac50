#include "driver/run.h"

int main(int argc, char** argv) { return travek::run_program(argc, argv); }
