// The command-line driver: the order of the run, from the command line to the
// exit code.
//
// Usage: int main(int argc, char** argv) { return run_converter(argc, argv); }
#pragma once

#include "cli.h"
#include "convert.h"
#include "exit_codes.h"
#include "output.h"

// The whole run: banner, help, version or conversion. Returns the exit code.
int run_converter(int argc, char** argv);
