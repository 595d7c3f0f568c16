#include "tool/driver.h"

int main(int argc, char **argv) { return vetline::runDriver(argc, argv); }
