#include "lint/linter.h"

int main(int argc, char **argv) { return vetline::lint::runLinter(argc, argv); }
