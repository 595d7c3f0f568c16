/* Diagnostics that LC_ALL=C gcc -Wall -Wextra gives for this file, checked with
   their line numbers relative to the lines that cause them:
     LC_ALL=C gcc -Wall -Wextra -c warn.c -o /dev/null 2> input.txt */
#include <stddef.h>

int first(int count) {
  int unused;
  // CHECK: warn.c:[[#@LINE-1]]:7: warning: unused variable 'unused' [-Wunused-variable]
  return count;
}

int compare(unsigned size, int index) {
  // CHECK: warn.c:[[#@LINE+1]]:[[#COL:]]: warning: comparison of integer expressions of different signedness
  return index < size;
  // CHECK-NEXT: [[#@LINE-1]] | return index < size;
}

int missing(int x) {
  if (x)
    return 1;
}
// CHECK: warn.c:[[#@LINE-1]]:1: warning: control reaches end of non-void function
