#include <cstdio>

int main(int argc, char **argv) {
  for (int i = 1; i < argc; ++i)
    std::printf("hello, %s\n", argv[i]);
  return 0;
}
