int square(int x) { return x * x; }

int sum_squares(const int *values, int count) {
  int total = 0;
  for (int i = 0; i < count; ++i)
    total += square(values[i]);
  return total;
}

static const char greeting[] = "hello, vetline";

const char *greet(void) { return greeting; }
