/* Floor of a multipart JPEG post ("postleaf") to a session that names its
 * files by FileNameTemplate and a counter: body read, parts found, member's
 * password checked, counter locked, the JPEG and the record of the text
 * fields created exclusively, counter replaced, acceptance page answered.
 * The benchmark's fields need no escaping and the file ends in ".jpg". */
#define _GNU_SOURCE
#include "floor.h"

FLOOR_PAGE(PAGE);

/* The quoted value of `key="` inside a part header. */
static struct view header_param(struct view header, const char *key) {
  const char *at = memmem(header.p, header.n, key, strlen(key));
  if (at == NULL) return (struct view){NULL, 0};
  const char *v = at + strlen(key);
  const char *q = memchr(v, '"', (size_t)(header.p + header.n - v));
  return (struct view){v, (size_t)(q - v)};
}

static int same(struct view v, const char *s) { return v.n == strlen(s) && memcmp(v.p, s, v.n) == 0; }

int main(void) {
  struct view body = read_body();
  const char *end = body.p + body.n;
  const char *eol = memmem(body.p, body.n, "\r\n", 2);
  if (eol == NULL) return 1;
  /* Delimiter: CR LF and the body's first line. */
  size_t delim_n = (size_t)(eol - body.p) + 2;
  char *delim = malloc(delim_n);
  memcpy(delim, "\r\n", 2);
  memcpy(delim + 2, body.p, delim_n - 2);

  /* The record's lines are views into the body: name "=" value CR LF. */
  size_t cap = 64, count = 0;
  struct view *lines = malloc(cap * sizeof *lines);
  struct view session = {0}, id = {0}, pw = {0}, command = {0}, file = {0};
  lines[count++] = cstr("<tslkeys>\r\n");
  for (const char *p = eol + 2; p < end;) {
    const char *head_end = memmem(p, (size_t)(end - p), "\r\n\r\n", 4);
    if (head_end == NULL) break;
    struct view header = {p, (size_t)(head_end - p)};
    const char *data = head_end + 4;
    const char *next = memmem(data, (size_t)(end - data), delim, delim_n);
    if (next == NULL) break;
    struct view value = {data, (size_t)(next - data)};
    struct view name = header_param(header, "name=\"");
    struct view file_name = header_param(header, "filename=\"");
    if (file_name.p != NULL) {
      /* Only a JPEG part is the attachment; its line names the file. */
      if (memmem(header.p, header.n, "image/jpeg", 10) == NULL) return 1;
      file = value;
      value = file_name;
    }
    if (same(name, "pw")) {
      pw = value;
    } else if (same(name, "command")) {
      command = value;
    } else {
      if (same(name, "session")) session = value;
      if (same(name, "id")) id = value;
      if (count + 4 > cap) lines = realloc(lines, (cap *= 2) * sizeof *lines);
      lines[count++] = name;
      lines[count++] = cstr("=");
      lines[count++] = value;
      lines[count++] = cstr("\r\n");
    }
    p = next + delim_n;
    if (p + 2 <= end && memcmp(p, "--", 2) == 0) break;
    p += 2; /* the CR LF after the delimiter */
  }
  lines[count++] = cstr("\r\n</tslkeys>\r\n");
  if (!same(command, "postleaf") || file.n == 0) return 1;

  struct view settings = session_settings(session);
  struct view member = read_file(join(line_value(settings, "membersdb"), id, ".txt"));
  struct view stored_pw = line_value(member, "pw");
  if (stored_pw.n != pw.n || memcmp(stored_pw.p, pw.p, pw.n) != 0) return 1;

  struct view upload = line_value(settings, "path");
  struct view templ = line_value(settings, "FileNameTemplate");
  char *counter_path = join(upload, cstr("counter"), ".txt");
  char *lock_path = join(upload, cstr(".counter"), ".txt.lock");
  int lock = open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) die(lock_path);
  long number = strtol(read_file(counter_path).p, NULL, 10) + 1;

  /* The template's "#"s, right to left, take the number's digits. */
  char *name = strndup(templ.p, templ.n);
  long rest = number;
  for (size_t i = templ.n; i-- > 0;) {
    if (name[i] == '#') {
      name[i] = (char)('0' + rest % 10);
      rest /= 10;
    }
  }
  char *jpeg_path = join(upload, cstr(name), ".jpg");
  char *record_path = join(upload, cstr(name), ".txt");
  if (file_exists(jpeg_path) || file_exists(record_path)) return 1;
  if (!create_exclusive(jpeg_path, &file, 1) || !create_exclusive(record_path, lines, (int)count)) return 1;
  char counter[24];
  struct view counter_text = {counter, (size_t)snprintf(counter, sizeof counter, "%ld\r\n", number)};
  replace_file(counter_path, &counter_text, 1);
  close(lock);
  answer_page();
  return 0;
}
