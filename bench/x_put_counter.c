/* A preload library for the display benchmark (bench/display_bench.sh): it logs every picture a
 * client puts to the X server, with the time and a hash of the pixels, so that the pictures that
 * reached the screen can be counted and their intervals measured from outside the program.
 *
 * Covered: xcb_shm_put_image (the Qt xcb backing store over MIT-SHM; the segment is mapped here a
 * second time, read-only, from xcb_shm_create_segment's file descriptor or xcb_shm_attach's
 * System V id), xcb_image_put (the same without MIT-SHM), and Xlib's XShmPutImage and XPutImage
 * (other players' X11 output).
 *
 * XPUT_LOG names the log file; each put appends one line:
 *   MONOTONIC_NS X Y WIDTH HEIGHT HASH
 * The hash covers every pixel of every second row of the put area (32-bit pixels).
 *
 *   cc -O2 -shared -fPIC -o x_put_counter.so x_put_counter.c -ldl
 */
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

/* The few xcb types used here, as libxcb lays them out. */
typedef struct xcb_connection_t xcb_connection_t;
typedef struct {
  unsigned int sequence;
} xcb_void_cookie_t;
typedef struct {
  unsigned int sequence;
} xcb_shm_create_segment_cookie_t;
typedef struct {
  uint8_t response_type;
  uint8_t nfd;
  uint16_t sequence;
  uint32_t length;
  uint8_t pad0[24];
} xcb_shm_create_segment_reply_t;
typedef struct {
  uint16_t width;
  uint16_t height;
  int format;
  uint8_t scanline_pad;
  uint8_t depth;
  uint8_t bpp;
  uint8_t unit;
  uint32_t plane_mask;
  int byte_order;
  int bit_order;
  uint32_t stride;
  uint32_t size;
  void* base;
  uint8_t* data;
} xcb_image_t;

#define MAX_SEGMENTS 64
struct segment {
  uint32_t seg;
  const uint8_t* addr;
  size_t size;
};
static struct segment segments[MAX_SEGMENTS];
static struct {
  unsigned int sequence;
  uint32_t seg;
  uint32_t size;
} pending[MAX_SEGMENTS];
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int log_fd = -2;

/* The library's own function: next in the global scope, or, for a library that a plugin brought
 * in privately (Qt's xcb platform plugin is dlopen'ed), from that library itself. */
static void* real(const char* name) {
  void* f = dlsym(RTLD_NEXT, name);
  if (f != NULL) return f;
  static const char* const libraries[] = {"libxcb-shm.so.0", "libxcb-image.so.0", "libXext.so.6", "libX11.so.6"};
  for (size_t i = 0; i < sizeof libraries / sizeof libraries[0]; ++i) {
    void* h = dlopen(libraries[i], RTLD_LAZY | RTLD_NOLOAD);
    if (h == NULL) h = dlopen(libraries[i], RTLD_LAZY);
    if (h != NULL && (f = dlsym(h, name)) != NULL) return f;
  }
  return NULL;
}

static uint64_t hash_rows(const uint8_t* base, size_t stride, int x, int y, int w, int h) {
  uint64_t hash = 1469598103934665603ull;
  for (int row = 0; row < h; row += 2) {
    const uint8_t* p = base + (size_t)(y + row) * stride + (size_t)x * 4;
    for (int i = 0; i < w; ++i) {
      uint32_t v;
      memcpy(&v, p + (size_t)i * 4, 4);
      hash = (hash ^ (v & 0xFFFFFFu)) * 1099511628211ull;
    }
  }
  return hash;
}

static void log_put(int x, int y, int w, int h, uint64_t hash) {
  pthread_mutex_lock(&lock);
  if (log_fd == -2) {
    const char* path = getenv("XPUT_LOG");
    log_fd = path != NULL ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
  }
  if (log_fd >= 0) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    char line[160];
    const int n = snprintf(line, sizeof line, "%lld %d %d %d %d %016llx\n",
                           (long long)ts.tv_sec * 1000000000ll + ts.tv_nsec, x, y, w, h, (unsigned long long)hash);
    if (write(log_fd, line, (size_t)n) < 0) {
      /* nothing to be done: the count will be short */
    }
  }
  pthread_mutex_unlock(&lock);
}

static void remember(uint32_t seg, const uint8_t* addr, size_t size) {
  pthread_mutex_lock(&lock);
  for (int i = 0; i < MAX_SEGMENTS; ++i)
    if (segments[i].addr == NULL || segments[i].seg == seg) {
      segments[i].seg = seg;
      segments[i].addr = addr;
      segments[i].size = size;
      break;
    }
  pthread_mutex_unlock(&lock);
}

static const uint8_t* find_segment(uint32_t seg, size_t* size) {
  const uint8_t* addr = NULL;
  pthread_mutex_lock(&lock);
  for (int i = 0; i < MAX_SEGMENTS; ++i)
    if (segments[i].addr != NULL && segments[i].seg == seg) {
      addr = segments[i].addr;
      *size = segments[i].size;
    }
  pthread_mutex_unlock(&lock);
  return addr;
}

xcb_shm_create_segment_cookie_t xcb_shm_create_segment(xcb_connection_t* c, uint32_t seg, uint32_t size,
                                                       uint8_t read_only) {
  xcb_shm_create_segment_cookie_t (*f)(xcb_connection_t*, uint32_t, uint32_t, uint8_t) =
      real("xcb_shm_create_segment");
  xcb_shm_create_segment_cookie_t cookie = f(c, seg, size, read_only);
  pthread_mutex_lock(&lock);
  for (int i = 0; i < MAX_SEGMENTS; ++i)
    if (pending[i].size == 0) {
      pending[i].sequence = cookie.sequence;
      pending[i].seg = seg;
      pending[i].size = size;
      break;
    }
  pthread_mutex_unlock(&lock);
  return cookie;
}

int* xcb_shm_create_segment_reply_fds(xcb_connection_t* c, xcb_shm_create_segment_reply_t* reply) {
  int* (*f)(xcb_connection_t*, xcb_shm_create_segment_reply_t*) = real("xcb_shm_create_segment_reply_fds");
  int* fds = f(c, reply);
  if (fds == NULL || reply == NULL || reply->nfd < 1) return fds;
  uint32_t seg = 0, size = 0;
  pthread_mutex_lock(&lock);
  for (int i = 0; i < MAX_SEGMENTS; ++i)
    if (pending[i].size != 0 && (uint16_t)pending[i].sequence == reply->sequence) {
      seg = pending[i].seg;
      size = pending[i].size;
      pending[i].size = 0;
      break;
    }
  pthread_mutex_unlock(&lock);
  if (size == 0) return fds;
  void* addr = mmap(NULL, size, PROT_READ, MAP_SHARED, fds[0], 0);
  if (addr != MAP_FAILED) remember(seg, addr, size);
  return fds;
}

xcb_void_cookie_t xcb_shm_attach_checked(xcb_connection_t* c, uint32_t seg, uint32_t shmid, uint8_t read_only) {
  xcb_void_cookie_t (*f)(xcb_connection_t*, uint32_t, uint32_t, uint8_t) = real("xcb_shm_attach_checked");
  void* addr = shmat((int)shmid, NULL, SHM_RDONLY);
  if (addr != (void*)-1) {
    struct shmid_ds ds;
    if (shmctl((int)shmid, IPC_STAT, &ds) == 0) remember(seg, addr, ds.shm_segsz);
  }
  return f(c, seg, shmid, read_only);
}

xcb_void_cookie_t xcb_shm_put_image(xcb_connection_t* c, uint32_t drawable, uint32_t gc, uint16_t total_width,
                                    uint16_t total_height, uint16_t src_x, uint16_t src_y, uint16_t src_width,
                                    uint16_t src_height, int16_t dst_x, int16_t dst_y, uint8_t depth, uint8_t format,
                                    uint8_t send_event, uint32_t shmseg, uint32_t offset) {
  xcb_void_cookie_t (*f)(xcb_connection_t*, uint32_t, uint32_t, uint16_t, uint16_t, uint16_t, uint16_t, uint16_t,
                         uint16_t, int16_t, int16_t, uint8_t, uint8_t, uint8_t, uint32_t, uint32_t) =
      real("xcb_shm_put_image");
  size_t size = 0;
  const uint8_t* addr = find_segment(shmseg, &size);
  const size_t stride = (size_t)total_width * 4;
  uint64_t hash = 0;
  if (addr != NULL && depth >= 24 && offset + stride * total_height <= size)
    hash = hash_rows(addr + offset, stride, src_x, src_y, src_width, src_height);
  log_put(dst_x, dst_y, src_width, src_height, hash);
  return f(c, drawable, gc, total_width, total_height, src_x, src_y, src_width, src_height, dst_x, dst_y, depth,
           format, send_event, shmseg, offset);
}

void xcb_image_put(xcb_connection_t* c, uint32_t draw, uint32_t gc, xcb_image_t* image, int16_t x, int16_t y,
                   uint8_t left_pad) {
  void (*f)(xcb_connection_t*, uint32_t, uint32_t, xcb_image_t*, int16_t, int16_t, uint8_t) = real("xcb_image_put");
  if (image != NULL && image->bpp == 32 && image->data != NULL)
    log_put(x, y, image->width, image->height, hash_rows(image->data, image->stride, 0, 0, image->width, image->height));
  f(c, draw, gc, image, x, y, left_pad);
}

Bool XShmPutImage(Display* d, Drawable w, GC gc, XImage* image, int src_x, int src_y, int dst_x, int dst_y,
                  unsigned int width, unsigned int height, Bool send_event) {
  Bool (*f)(Display*, Drawable, GC, XImage*, int, int, int, int, unsigned int, unsigned int, Bool) =
      real("XShmPutImage");
  if (image != NULL && image->bits_per_pixel == 32 && image->data != NULL)
    log_put(dst_x, dst_y, (int)width, (int)height,
            hash_rows((const uint8_t*)image->data, (size_t)image->bytes_per_line, src_x, src_y, (int)width, (int)height));
  return f(d, w, gc, image, src_x, src_y, dst_x, dst_y, width, height, send_event);
}

int XPutImage(Display* d, Drawable w, GC gc, XImage* image, int src_x, int src_y, int dst_x, int dst_y,
              unsigned int width, unsigned int height) {
  int (*f)(Display*, Drawable, GC, XImage*, int, int, int, int, unsigned int, unsigned int) = real("XPutImage");
  if (image != NULL && image->bits_per_pixel == 32 && image->data != NULL)
    log_put(dst_x, dst_y, (int)width, (int)height,
            hash_rows((const uint8_t*)image->data, (size_t)image->bytes_per_line, src_x, src_y, (int)width, (int)height));
  return f(d, w, gc, image, src_x, src_y, dst_x, dst_y, width, height);
}
