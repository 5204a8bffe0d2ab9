/* Floor of any CGI answer: a process that starts and prints a fixed page. */
#include "floor.h"

FLOOR_PAGE(PAGE);

int main(void) {
  answer_page();
  return 0;
}
