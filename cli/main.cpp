// tarnhop: traces the route to an IPv4 host, or pings it.
#include "cli/run.h"

int main(int argc, char** argv) { return run_tarnhop(argc, argv); }
