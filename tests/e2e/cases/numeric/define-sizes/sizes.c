#include <stddef.h>
#include <stdio.h>

struct pair { void *first; void *second; };
struct node { struct node *next; int value; };

int main(void) {
  printf("sizeof(struct pair) = %zu\n", sizeof(struct pair));
  printf("offsetof(struct pair, second) = %zu\n", offsetof(struct pair, second));
  printf("sizeof(struct node) = %zu\n", sizeof(struct node));
  printf("int minus node = %td\n", (ptrdiff_t)sizeof(int) - (ptrdiff_t)sizeof(struct node));
  printf("mask = %#zx\n", ~(sizeof(struct node) - 1) & 0xfff);
  return 0;
}
