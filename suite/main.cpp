#include "suite/runner.h"

int main(int argc, char **argv) { return vetline::suite::runSuite(argc, argv); }
