/* A malloc whose calls cost next to nothing, preloaded into a benchmark child to
 * measure what allocation itself costs the core: the best a per-call arena could do.
 *
 * Every block is cut from one region, faulted in when the library loads, so no
 * allocation meets a fresh page; each thread cuts from a slice of its own, so the
 * two threads never wait for each other; free() does nothing.  Memory is never
 * reused, so the region must hold the whole run: NO_COST_MALLOC_GIB (default 8).
 * When it is used up, blocks come from fresh pages and the figure is no floor any
 * more: the library then says so on standard error when the process ends.
 *
 *     cc -O2 -shared -fPIC -o no_cost_malloc.so no_cost_malloc.c
 */
#define _GNU_SOURCE
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

enum { kHeader = 16, kSlice = 64 << 20 };

static uintptr_t region_next_init, region_end;
static _Atomic uintptr_t region_next;
static _Atomic int overflowed, ready;
static __thread uintptr_t slice_next, slice_end;

static void* map_pages(size_t n, int populate) {
  void* p = mmap(NULL, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | populate, -1, 0);
  return p == MAP_FAILED ? NULL : p;
}

static void report(void) {
  if (atomic_load(&overflowed)) {
    static const char msg[] = "no_cost_malloc: the region ran out; blocks came from fresh pages\n";
    (void)!write(2, msg, sizeof msg - 1);
  }
}

__attribute__((constructor)) static void init(void) {
  const char* gib = getenv("NO_COST_MALLOC_GIB");
  size_t n = (size_t)(gib ? atoi(gib) : 8) << 30;
  char* p = n ? map_pages(n, MAP_POPULATE) : NULL;
  if (p) {
    region_next_init = (uintptr_t)p;
    region_end = (uintptr_t)p + n;
  }
  atomic_store(&region_next, region_next_init);
  atomic_store(&ready, 1);
  atexit(report);
}

static uintptr_t align_up(uintptr_t v, size_t al) { return (v + al - 1) & ~(uintptr_t)(al - 1); }

static void* cut(size_t n, size_t al) {
  if (al < kHeader) al = kHeader;
  n = align_up(n ? n : 1, kHeader);
  uintptr_t r = align_up(slice_next + kHeader, al);
  if (!slice_next || r + n > slice_end) {
    size_t want = n + al + kHeader > kSlice ? n + al + kHeader : kSlice;
    /* Blocks asked for before the region exists come from fresh pages too. */
    uintptr_t start = atomic_load(&ready) ? atomic_fetch_add(&region_next, want) : 0;
    if (start && region_end && start + want <= region_end) {
      slice_next = start;
    } else {
      if (atomic_load(&ready)) atomic_store(&overflowed, 1);
      void* fresh = map_pages(want, 0);
      if (!fresh) return NULL;
      slice_next = (uintptr_t)fresh;
    }
    slice_end = slice_next + want;
    r = align_up(slice_next + kHeader, al);
  }
  ((size_t*)r)[-1] = n;
  slice_next = r + n;
  return (void*)r;
}

void* malloc(size_t n) { return cut(n, kHeader); }
void free(void* p) { (void)p; }
void* calloc(size_t a, size_t b) {
  if (b && a > SIZE_MAX / b) return NULL;
  void* p = cut(a * b, kHeader);
  if (p) memset(p, 0, a * b);
  return p;
}
void* realloc(void* p, size_t n) {
  void* q = cut(n, kHeader);
  if (p && q) {
    size_t old = ((size_t*)p)[-1];
    memcpy(q, p, old < n ? old : n);
  }
  return q;
}
void* memalign(size_t al, size_t n) { return cut(n, al); }
void* aligned_alloc(size_t al, size_t n) { return cut(n, al); }
int posix_memalign(void** out, size_t al, size_t n) {
  void* p = cut(n, al);
  if (!p) return 12; /* ENOMEM */
  *out = p;
  return 0;
}
void* valloc(size_t n) { return cut(n, 4096); }
void* pvalloc(size_t n) { return cut(align_up(n, 4096), 4096); }
size_t malloc_usable_size(void* p) { return p ? ((size_t*)p)[-1] : 0; }
