/* A scene for the Wayland benchmarks: one fullscreen window that either
 * stays still (one colour, painted once) or changes all of its pixels about
 * 30 times a second (a moving pattern), like the X11 scene bench's "still"
 * and "motion".
 *
 *   wl_scene_client still|motion
 *
 * Ends on SIGTERM/SIGINT or when the compositor goes away. */
#define _GNU_SOURCE
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <wayland-client.h>

#include "xdg-shell-client-protocol.h"

struct buffer {
  struct wl_buffer* wl;
  uint32_t* pixels;
  int busy;
};

struct scene {
  int motion;
  struct wl_compositor* compositor;
  struct wl_shm* shm;
  struct xdg_wm_base* wm;
  struct wl_surface* surface;
  struct xdg_surface* xdg_surface;
  struct xdg_toplevel* toplevel;
  int32_t want_w, want_h, w, h;
  struct buffer buffers[2];
  unsigned frame;
  double last_paint;
  int closed;
};

static volatile sig_atomic_t stop_requested;
static void on_signal(int sig) { (void)sig; stop_requested = 1; }

static double now_s(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

static void buffer_release(void* data, struct wl_buffer* wl) {
  (void)wl;
  ((struct buffer*)data)->busy = 0;
}
static const struct wl_buffer_listener buffer_listener = {buffer_release};

static int make_buffers(struct scene* s, int32_t w, int32_t h) {
  const int32_t stride = w * 4;
  const size_t size = (size_t)stride * h;
  for (int i = 0; i < 2; ++i) {
    struct buffer* b = &s->buffers[i];
    if (b->wl) {
      wl_buffer_destroy(b->wl);
      munmap(b->pixels, (size_t)s->w * s->h * 4);
    }
    int fd = memfd_create("wl-scene", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, (off_t)size) < 0) return -1;
    b->pixels = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (b->pixels == MAP_FAILED) return -1;
    struct wl_shm_pool* pool = wl_shm_create_pool(s->shm, fd, (int32_t)size);
    b->wl = wl_shm_pool_create_buffer(pool, 0, w, h, stride, WL_SHM_FORMAT_XRGB8888);
    wl_buffer_add_listener(b->wl, &buffer_listener, b);
    wl_shm_pool_destroy(pool);
    close(fd);
    b->busy = 0;
  }
  s->w = w;
  s->h = h;
  return 0;
}

static void paint(struct scene* s);

static void frame_done(void* data, struct wl_callback* cb, uint32_t time) {
  (void)time;
  wl_callback_destroy(cb);
  paint(data);
}
static const struct wl_callback_listener frame_listener = {frame_done};

/* Still: one colour, once. Motion: a diagonal pattern that moves every
 * frame, so every pixel changes; at most every 33 ms. */
static void paint(struct scene* s) {
  if (s->w <= 0 || s->h <= 0) return;
  const double t = now_s();
  int fresh = !s->motion ? s->frame == 0 : t - s->last_paint >= 0.033;
  struct buffer* b = &s->buffers[s->frame % 2];
  if (b->busy) fresh = 0;
  if (fresh) {
    const unsigned k = s->frame * 7u;
    for (int32_t y = 0; y < s->h; ++y) {
      uint32_t* row = b->pixels + (size_t)y * s->w;
      for (int32_t x = 0; x < s->w; ++x)
        row[x] = s->motion ? 0xFF000000u | (((x + y + k) & 0xFF) << 16) | (((x * 3 + k) & 0xFF) << 8) | ((y + 2 * k) & 0xFF)
                           : 0xFF2050A0u;
    }
    wl_surface_attach(s->surface, b->wl, 0, 0);
    wl_surface_damage_buffer(s->surface, 0, 0, s->w, s->h);
    b->busy = 1;
    ++s->frame;
    s->last_paint = t;
    if (s->motion && s->frame % 10 == 0) fprintf(stderr, "painted %u frames\n", s->frame);
  }
  if (s->motion) wl_callback_add_listener(wl_surface_frame(s->surface), &frame_listener, s);
  wl_surface_commit(s->surface);
}

static void wm_ping(void* data, struct xdg_wm_base* wm, uint32_t serial) {
  (void)data;
  xdg_wm_base_pong(wm, serial);
}
static const struct xdg_wm_base_listener wm_listener = {wm_ping};

static void surface_configure(void* data, struct xdg_surface* xs, uint32_t serial) {
  struct scene* s = data;
  xdg_surface_ack_configure(xs, serial);
  if (s->want_w > 0 && s->want_h > 0 && (s->want_w != s->w || s->want_h != s->h)) {
    if (make_buffers(s, s->want_w, s->want_h) < 0) {
      s->closed = 1;
      return;
    }
    s->frame = 0;
    paint(s);
  }
}
static const struct xdg_surface_listener surface_listener = {surface_configure};

static void toplevel_configure(void* data, struct xdg_toplevel* t, int32_t w, int32_t h, struct wl_array* states) {
  (void)t;
  (void)states;
  struct scene* s = data;
  s->want_w = w;
  s->want_h = h;
}
static void toplevel_close(void* data, struct xdg_toplevel* t) {
  (void)t;
  ((struct scene*)data)->closed = 1;
}
static void toplevel_bounds(void* data, struct xdg_toplevel* t, int32_t w, int32_t h) {
  (void)data, (void)t, (void)w, (void)h;
}
static void toplevel_caps(void* data, struct xdg_toplevel* t, struct wl_array* caps) {
  (void)data, (void)t, (void)caps;
}
static const struct xdg_toplevel_listener toplevel_listener = {toplevel_configure, toplevel_close, toplevel_bounds,
                                                               toplevel_caps};

static void global_add(void* data, struct wl_registry* r, uint32_t name, const char* iface, uint32_t version) {
  struct scene* s = data;
  if (strcmp(iface, wl_compositor_interface.name) == 0)
    s->compositor = wl_registry_bind(r, name, &wl_compositor_interface, 4);
  else if (strcmp(iface, wl_shm_interface.name) == 0)
    s->shm = wl_registry_bind(r, name, &wl_shm_interface, 1);
  else if (strcmp(iface, xdg_wm_base_interface.name) == 0)
    s->wm = wl_registry_bind(r, name, &xdg_wm_base_interface, version < 4 ? version : 4);
}
static void global_remove(void* data, struct wl_registry* r, uint32_t name) { (void)data, (void)r, (void)name; }
static const struct wl_registry_listener registry_listener = {global_add, global_remove};

int main(int argc, char** argv) {
  struct scene s = {0};
  if (argc != 2 || (strcmp(argv[1], "still") != 0 && strcmp(argv[1], "motion") != 0)) {
    fprintf(stderr, "usage: %s still|motion\n", argv[0]);
    return 2;
  }
  s.motion = strcmp(argv[1], "motion") == 0;
  signal(SIGTERM, on_signal);
  signal(SIGINT, on_signal);
  struct wl_display* display = wl_display_connect(NULL);
  if (!display) return 1;
  struct wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registry_listener, &s);
  wl_display_roundtrip(display);
  if (!s.compositor || !s.shm || !s.wm) return 1;
  xdg_wm_base_add_listener(s.wm, &wm_listener, &s);
  s.surface = wl_compositor_create_surface(s.compositor);
  s.xdg_surface = xdg_wm_base_get_xdg_surface(s.wm, s.surface);
  xdg_surface_add_listener(s.xdg_surface, &surface_listener, &s);
  s.toplevel = xdg_surface_get_toplevel(s.xdg_surface);
  xdg_toplevel_add_listener(s.toplevel, &toplevel_listener, &s);
  xdg_toplevel_set_fullscreen(s.toplevel, NULL);
  wl_surface_commit(s.surface);
  struct pollfd p = {wl_display_get_fd(display), POLLIN, 0};
  while (!stop_requested && !s.closed) {
    while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
    wl_display_flush(display);
    if (poll(&p, 1, 200) > 0) {
      if (wl_display_read_events(display) < 0) break;
    } else {
      wl_display_cancel_read(display);
    }
    if (wl_display_dispatch_pending(display) < 0) break;
  }
  wl_display_disconnect(display);
  return 0;
}
