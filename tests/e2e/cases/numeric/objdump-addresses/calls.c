__attribute__((noinline)) int square(int x) { return x * x; }

__attribute__((noinline)) int sum_squares(const int *values, int count) {
  int total = 0;
  for (int i = 0; i < count; ++i)
    total += square(values[i]);
  return total;
}

int main(void) {
  static const int values[] = {1, 2, 3};
  return sum_squares(values, 3);
}
