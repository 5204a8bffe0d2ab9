/* What every floor program shares: the few system calls one request cannot
 * do without, written as plainly as C allows. No error is recovered from: a
 * floor that fails exits 1 and the benchmark's byte check reports it. */
#ifndef FLOOR_H
#define FLOOR_H

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

/* A byte string that views memory it does not own. */
struct view {
  const char *p;
  size_t n;
};

/* The answer's fixed bytes, captured from the program, linked in at build
 * time so no request pays for reading them. PAGE is a quoted path. */
#define FLOOR_PAGE(path)                                                                        \
  __asm__(".section .rodata\n.global page_start\npage_start:\n.incbin \"" path "\"\n"         \
          ".global page_end\npage_end:\n.previous\n");                                         \
  extern const char page_start[], page_end[]

static inline void die(const char *what) {
  perror(what);
  exit(1);
}

static inline void write_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0) die("write");
    p += w;
    n -= (size_t)w;
  }
}

/* Reads n bytes into a buffer of its own (n from the caller, e.g. the
 * declared body length); fewer if the input ends first. */
static inline struct view read_exactly(int fd, size_t n) {
  char *buf = malloc(n + 1);
  size_t got = 0;
  if (buf == NULL) die("malloc");
  while (got < n) {
    ssize_t r = read(fd, buf + got, n - got);
    if (r < 0) die("read");
    if (r == 0) break;
    got += (size_t)r;
  }
  return (struct view){buf, got};
}

static inline struct view read_file(const char *path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) die(path);
  struct view v = read_exactly(fd, (size_t)st.st_size);
  close(fd);
  return v;
}

/* The value of the first "key=value" item of text, items ended by sep (a CR
 * before it is dropped); empty when missing. */
static inline struct view item_value(struct view text, char sep, const char *key) {
  size_t k = strlen(key);
  const char *p = text.p, *end = text.p + text.n;
  while (p < end) {
    const char *eol = memchr(p, sep, (size_t)(end - p));
    const char *stop = eol ? eol : end;
    if ((size_t)(stop - p) > k && memcmp(p, key, k) == 0 && p[k] == '=') {
      const char *v = p + k + 1;
      if (stop > v && stop[-1] == '\r') --stop;
      return (struct view){v, (size_t)(stop - v)};
    }
    p = eol ? eol + 1 : end;
  }
  return (struct view){"", 0};
}

/* The value of a setting or record line. */
static inline struct view line_value(struct view text, const char *key) { return item_value(text, '\n', key); }

/* dir + "/" + name + suffix, NUL-terminated, on the heap. */
static inline char *join(struct view dir, struct view name, const char *suffix) {
  size_t s = strlen(suffix);
  char *out = malloc(dir.n + 1 + name.n + s + 1);
  if (out == NULL) die("malloc");
  memcpy(out, dir.p, dir.n);
  out[dir.n] = '/';
  memcpy(out + dir.n + 1, name.p, name.n);
  memcpy(out + dir.n + 1 + name.n, suffix, s + 1);
  return out;
}

static inline struct view cstr(const char *s) { return (struct view){s, strlen(s)}; }

/* The directory of the running executable, where config.txt lives. */
static inline struct view program_dir(void) {
  static char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) die("readlink");
  while (n > 0 && exe[n - 1] != '/') --n;
  return (struct view){exe, n > 0 ? (size_t)n - 1 : 0};
}

/* config.txt -> sessiondb, then <sessiondb>/<session>.txt. */
static inline struct view session_settings(struct view session) {
  struct view config = read_file(join(program_dir(), cstr("config"), ".txt"));
  return read_file(join(line_value(config, "sessiondb"), session, ".txt"));
}

static inline int file_exists(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

static inline void sync_dir(const char *path) {
  const char *slash = strrchr(path, '/');
  char *dir = strndup(path, slash ? (size_t)(slash - path + 1) : 0);
  int fd = open(*dir ? dir : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
  free(dir);
}

/* A hidden temporary file beside path, written and fsynced. */
static inline char *write_temporary(const char *path, const struct view *pieces, int count) {
  const char *slash = strrchr(path, '/');
  size_t dir = slash ? (size_t)(slash - path + 1) : 0;
  char *temp = malloc(dir + 32);
  if (temp == NULL) die("malloc");
  memcpy(temp, path, dir);
  snprintf(temp + dir, 32, ".tmp-%ld", (long)getpid());
  int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) die(temp);
  /* Many small pieces are gathered first: one write, not one per piece. */
  if (count == 1) {
    write_all(fd, pieces[0].p, pieces[0].n);
  } else {
    size_t total = 0, n = 0;
    for (int i = 0; i < count; ++i) total += pieces[i].n;
    char *all = malloc(total + 1);
    if (all == NULL) die("malloc");
    for (int i = 0; i < count; ++i) {
      memcpy(all + n, pieces[i].p, pieces[i].n);
      n += pieces[i].n;
    }
    write_all(fd, all, n);
    free(all);
  }
  if (fsync(fd) != 0 || close(fd) != 0) die("fsync");
  return temp;
}

/* Creates path only if nothing holds the name: temporary file, link, sync
 * of the directory. 0 when the name was taken. */
static inline int create_exclusive(const char *path, const struct view *pieces, int count) {
  char *temp = write_temporary(path, pieces, count);
  int rc = link(temp, path);
  unlink(temp);
  free(temp);
  if (rc != 0) return 0;
  sync_dir(path);
  return 1;
}

/* Replaces path whole: temporary file, rename, sync of the directory. */
static inline void replace_file(const char *path, const struct view *pieces, int count) {
  char *temp = write_temporary(path, pieces, count);
  if (rename(temp, path) != 0) die("rename");
  free(temp);
  sync_dir(path);
}

static inline void answer_page(void) {
  extern const char page_start[], page_end[];
  write_all(1, page_start, (size_t)(page_end - page_start));
}

/* The CONTENT_LENGTH bytes of standard input. */
static inline struct view read_body(void) {
  const char *length = getenv("CONTENT_LENGTH");
  return read_exactly(0, length ? (size_t)strtoull(length, NULL, 10) : 0);
}

#endif
