/* Diagnostics that clang gives for this file, each checked at the line
   that causes it; the argument's column is captured once and the line of
   the 'if' kept for the notes that follow:
     clang -fno-color-diagnostics -fno-caret-diagnostics -Wall -c fmt.c -o /dev/null 2> input.txt */
#include <stdio.h>

void show(long value, const char *name) {
  // CHECK: fmt.c:[[#@LINE+1]]:[[#FMT:]]: warning: format specifies type 'int' but the argument has type 'long' [-Wformat]
  printf("%d\n", value);
  // CHECK: fmt.c:[[#@LINE+1]]:[[#FMT]]: warning: format specifies type 'char *' but the argument has type 'const char **' [-Wformat]
  printf("%s\n", &name);
}

int pick(int flag) {
  int result;
  // CHECK: fmt.c:[[#IF:@LINE+1]]:7: warning: variable 'result' is used uninitialized whenever 'if' condition is false [-Wsometimes-uninitialized]
  if (flag)
    result = 1;
  // CHECK: fmt.c:[[#@LINE+1]]:10: note: uninitialized use occurs here
  return result;
}
// CHECK-NEXT: fmt.c:[[#IF]]:3: note: remove the 'if' if its condition is always true
// CHECK-NEXT: fmt.c:[[#IF-1]]:13: note: initialize the variable 'result' to silence this warning
