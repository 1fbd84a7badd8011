// One run of the program, from the command line to the exit status.
#pragma once

// Runs the program with its command line; returns the process exit status.
int run_tarnhop(int argc, const char* const* argv);
