/* A Wayland client for end-to-end tests: one fullscreen window painted a
 * solid colour, and a log of every input event it receives, so a test can
 * check that injected input landed where the picture showed it.
 *
 *   wl_test_client --log FILE [--color RRGGBB] [--output INDEX|NAME] [--motion]
 *
 * --motion (for benchmarks) slides a patterned picture 3 pixels every 33 ms.
 *
 * Log lines (one per event, flushed at once; coordinates are surface
 * coordinates, which for a fullscreen window at scale 1 are the output's
 * pixels):
 *   output INDEX NAME X Y WxH     each output known at start, in the layout (xdg-output
 *                                 where offered; NAME "-" when the compositor gives none)
 *   configure W H                 the size the compositor asks for
 *   shown W H                     the first frame of that size is on screen
 *   pointer enter X Y | pointer leave | motion X Y
 *   button CODE pressed|released  (linux/input-event-codes.h: 272 left, 273 right, 274 middle)
 *   axis vertical|horizontal VALUE
 *   axis_discrete vertical|horizontal STEPS
 *   keyboard enter | keyboard leave
 *   key KEYSYM_NAME pressed|released
 *   text UTF8                     what a press types (printable text only)
 * Ends on SIGTERM/SIGINT, when the compositor closes the window or goes away. */
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include "xdg-output-unstable-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

#define MAX_OUTPUTS 8

struct output {
  struct wl_output* wl;
  struct zxdg_output_v1* xdg;
  int index;
  int32_t x, y, width, height;
  char name[64];
};

struct app {
  FILE* log;
  uint32_t color;
  const char* want_output;
  struct wl_display* display;
  struct wl_compositor* compositor;
  struct wl_shm* shm;
  struct xdg_wm_base* wm_base;
  struct wl_seat* seat;
  struct zxdg_output_manager_v1* xdg_outputs;
  struct wl_pointer* pointer;
  struct wl_keyboard* keyboard;
  struct output outputs[MAX_OUTPUTS];
  int output_count;
  struct wl_surface* surface;
  struct xdg_surface* xdg_surface;
  struct xdg_toplevel* toplevel;
  int32_t pending_w, pending_h;  /* from the last toplevel configure */
  int32_t width, height;         /* of the buffer on the surface */
  int waiting_frame;
  int closed;
  struct xkb_context* xkb;
  struct xkb_keymap* keymap;
  struct xkb_state* xkb_state;
};

static long long now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static volatile sig_atomic_t stop_requested;
/* --motion (benchmarks): a pattern that slides 3 pixels every 33 ms. */
static int motion;
static unsigned motion_tick;
static void on_signal(int sig) { (void)sig; stop_requested = 1; }

static void logf_line(struct app* app, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vfprintf(app->log, fmt, ap);
  va_end(ap);
  fputc('\n', app->log);
  fflush(app->log);
}

/* ---- buffers: one per size, destroyed once the compositor releases it */

struct buffer {
  struct wl_buffer* wl;
  void* data;
  size_t size;
};

static void buffer_release(void* data, struct wl_buffer* wl) {
  struct buffer* b = data;
  wl_buffer_destroy(wl);
  munmap(b->data, b->size);
  free(b);
}
static const struct wl_buffer_listener buffer_listener = {buffer_release};

/* The pattern repeats every 64 pixels across, so each row is made once,
 * 64 pixels longer than the window, and every picture copies it shifted. */
static void paint_motion(uint32_t* px, int32_t w, int32_t h, uint32_t color) {
  static uint32_t* rows;
  static int32_t rows_w, rows_h;
  const int32_t stride = w + 64;
  if (rows_w != w || rows_h != h) {
    free(rows);
    rows = malloc((size_t)stride * (size_t)h * 4);
    if (!rows) { rows_w = rows_h = 0; return; }
    rows_w = w;
    rows_h = h;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < stride; ++x) {
        uint32_t sx = (uint32_t)x, sy = (uint32_t)y;
        uint32_t base = (((sx >> 5) ^ (sy >> 5)) & 1u) ? 0xffe8e8e8u : color;
        rows[(size_t)y * (size_t)stride + (size_t)x] = base ^ (((sx * 7u + sy * 13u) & 0x3fu) * 0x010101u);
      }
  }
  const size_t shift = (motion_tick * 3u) % 64u;
  for (int32_t y = 0; y < h; ++y)
    memcpy(px + (size_t)y * (size_t)w, rows + (size_t)y * (size_t)stride + shift, (size_t)w * 4);
}

static struct buffer* make_buffer(struct app* app, int32_t w, int32_t h) {
  int32_t stride = w * 4;
  size_t size = (size_t)stride * (size_t)h;
  int fd = memfd_create("wl-test-client", MFD_CLOEXEC);
  if (fd < 0) return NULL;
  if (ftruncate(fd, (off_t)size) != 0) { close(fd); return NULL; }
  void* data = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) { close(fd); return NULL; }
  uint32_t* px = data;
  if (motion) paint_motion(px, w, h, app->color);
  else for (size_t i = 0; i < size / 4; ++i) px[i] = app->color;
  struct wl_shm_pool* pool = wl_shm_create_pool(app->shm, fd, (int32_t)size);
  struct buffer* b = calloc(1, sizeof *b);
  b->wl = wl_shm_pool_create_buffer(pool, 0, w, h, stride, WL_SHM_FORMAT_XRGB8888);
  b->data = data;
  b->size = size;
  wl_shm_pool_destroy(pool);
  close(fd);
  wl_buffer_add_listener(b->wl, &buffer_listener, b);
  return b;
}

static void frame_done(void* data, struct wl_callback* cb, uint32_t time) {
  struct app* app = data;
  (void)time;
  wl_callback_destroy(cb);
  if (app->waiting_frame) logf_line(app, "shown %d %d", app->width, app->height);
  app->waiting_frame = 0;
}
static const struct wl_callback_listener frame_listener = {frame_done};

static void paint(struct app* app, int32_t w, int32_t h) {
  struct buffer* b = make_buffer(app, w, h);
  if (!b) { logf_line(app, "error no buffer %dx%d", w, h); app->closed = 1; return; }
  app->width = w;
  app->height = h;
  wl_surface_attach(app->surface, b->wl, 0, 0);
  wl_surface_damage_buffer(app->surface, 0, 0, w, h);
  struct wl_callback* cb = wl_surface_frame(app->surface);
  wl_callback_add_listener(cb, &frame_listener, app);
  app->waiting_frame = 1;
  wl_surface_commit(app->surface);
}

/* ---- shell */

static void wm_ping(void* data, struct xdg_wm_base* wm, uint32_t serial) {
  (void)data;
  xdg_wm_base_pong(wm, serial);
}
static const struct xdg_wm_base_listener wm_listener = {wm_ping};

static void surface_configure(void* data, struct xdg_surface* xs, uint32_t serial) {
  struct app* app = data;
  xdg_surface_ack_configure(xs, serial);
  int32_t w = app->pending_w, h = app->pending_h;
  if (w <= 0 || h <= 0) { w = 640; h = 480; }  /* ours to choose */
  if (w != app->width || h != app->height) paint(app, w, h);
  else wl_surface_commit(app->surface);
}
static const struct xdg_surface_listener surface_listener = {surface_configure};

static void toplevel_configure(void* data, struct xdg_toplevel* t, int32_t w, int32_t h, struct wl_array* states) {
  struct app* app = data;
  (void)t;
  (void)states;
  app->pending_w = w;
  app->pending_h = h;
  logf_line(app, "configure %d %d", w, h);
}
static void toplevel_close(void* data, struct xdg_toplevel* t) {
  (void)t;
  ((struct app*)data)->closed = 1;
}
static void toplevel_bounds(void* data, struct xdg_toplevel* t, int32_t w, int32_t h) {
  (void)data; (void)t; (void)w; (void)h;
}
static void toplevel_caps(void* data, struct xdg_toplevel* t, struct wl_array* caps) {
  (void)data; (void)t; (void)caps;
}
static const struct xdg_toplevel_listener toplevel_listener = {toplevel_configure, toplevel_close,
                                                               toplevel_bounds, toplevel_caps};

/* ---- outputs */

static void output_geometry(void* data, struct wl_output* o, int32_t x, int32_t y, int32_t pw, int32_t ph,
                            int32_t subpixel, const char* make, const char* model, int32_t transform) {
  struct output* out = data;
  (void)o; (void)pw; (void)ph; (void)subpixel; (void)make; (void)model; (void)transform;
  out->x = x;
  out->y = y;
}
static void output_mode(void* data, struct wl_output* o, uint32_t flags, int32_t w, int32_t h, int32_t refresh) {
  struct output* out = data;
  (void)o; (void)refresh;
  if (flags & WL_OUTPUT_MODE_CURRENT) {
    out->width = w;
    out->height = h;
  }
}
static void output_done(void* data, struct wl_output* o) { (void)data; (void)o; }
static void output_scale(void* data, struct wl_output* o, int32_t f) { (void)data; (void)o; (void)f; }
static void output_name(void* data, struct wl_output* o, const char* name) {
  struct output* out = data;
  (void)o;
  snprintf(out->name, sizeof out->name, "%s", name);
}
static void output_description(void* data, struct wl_output* o, const char* d) { (void)data; (void)o; (void)d; }
static const struct wl_output_listener output_listener = {output_geometry, output_mode, output_done,
                                                          output_scale, output_name, output_description};

/* xdg-output: the position in the layout (wl_output's own is not kept up
 * by wlroots) and, from version 2, the name. */
static void xdg_position(void* data, struct zxdg_output_v1* x, int32_t px, int32_t py) {
  struct output* out = data;
  (void)x;
  out->x = px;
  out->y = py;
}
static void xdg_size(void* data, struct zxdg_output_v1* x, int32_t w, int32_t h) { (void)data; (void)x; (void)w; (void)h; }
static void xdg_done(void* data, struct zxdg_output_v1* x) { (void)data; (void)x; }
static void xdg_name(void* data, struct zxdg_output_v1* x, const char* name) {
  struct output* out = data;
  (void)x;
  snprintf(out->name, sizeof out->name, "%s", name);
}
static void xdg_description(void* data, struct zxdg_output_v1* x, const char* d) { (void)data; (void)x; (void)d; }
static const struct zxdg_output_v1_listener xdg_output_listener = {xdg_position, xdg_size, xdg_done, xdg_name,
                                                                   xdg_description};

/* ---- pointer */

static void pointer_enter(void* data, struct wl_pointer* p, uint32_t serial, struct wl_surface* s,
                          wl_fixed_t x, wl_fixed_t y) {
  (void)p; (void)serial; (void)s;
  logf_line(data, "pointer enter %.2f %.2f", wl_fixed_to_double(x), wl_fixed_to_double(y));
}
static void pointer_leave(void* data, struct wl_pointer* p, uint32_t serial, struct wl_surface* s) {
  (void)p; (void)serial; (void)s;
  logf_line(data, "pointer leave");
}
static void pointer_motion(void* data, struct wl_pointer* p, uint32_t time, wl_fixed_t x, wl_fixed_t y) {
  (void)p; (void)time;
  logf_line(data, "motion %.2f %.2f", wl_fixed_to_double(x), wl_fixed_to_double(y));
}
static void pointer_button(void* data, struct wl_pointer* p, uint32_t serial, uint32_t time, uint32_t button,
                           uint32_t state) {
  (void)p; (void)serial; (void)time;
  logf_line(data, "button %u %s", button, state == WL_POINTER_BUTTON_STATE_PRESSED ? "pressed" : "released");
}
static const char* axis_name(uint32_t axis) {
  return axis == WL_POINTER_AXIS_VERTICAL_SCROLL ? "vertical" : "horizontal";
}
static void pointer_axis(void* data, struct wl_pointer* p, uint32_t time, uint32_t axis, wl_fixed_t value) {
  (void)p; (void)time;
  logf_line(data, "axis %s %.2f", axis_name(axis), wl_fixed_to_double(value));
}
static void pointer_frame(void* data, struct wl_pointer* p) { (void)data; (void)p; }
static void pointer_axis_source(void* data, struct wl_pointer* p, uint32_t source) {
  (void)data; (void)p; (void)source;
}
static void pointer_axis_stop(void* data, struct wl_pointer* p, uint32_t time, uint32_t axis) {
  (void)data; (void)p; (void)time; (void)axis;
}
static void pointer_axis_discrete(void* data, struct wl_pointer* p, uint32_t axis, int32_t steps) {
  (void)p;
  logf_line(data, "axis_discrete %s %d", axis_name(axis), steps);
}
static void pointer_axis_value120(void* data, struct wl_pointer* p, uint32_t axis, int32_t v120) {
  (void)data; (void)p; (void)axis; (void)v120;  /* not bound: the seat is taken at version 7 */
}
static const struct wl_pointer_listener pointer_listener = {
    pointer_enter, pointer_leave,       pointer_motion,    pointer_button,        pointer_axis,
    pointer_frame, pointer_axis_source, pointer_axis_stop, pointer_axis_discrete, pointer_axis_value120};

/* ---- keyboard */

static void keyboard_keymap(void* data, struct wl_keyboard* k, uint32_t format, int32_t fd, uint32_t size) {
  struct app* app = data;
  (void)k;
  if (format != WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1) { close(fd); return; }
  char* text = mmap(NULL, size, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (text == MAP_FAILED) { logf_line(app, "error keymap not readable"); return; }
  struct xkb_keymap* keymap = xkb_keymap_new_from_buffer(app->xkb, text, strnlen(text, size),
                                                         XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
  munmap(text, size);
  if (!keymap) { logf_line(app, "error keymap not compiled"); return; }
  xkb_state_unref(app->xkb_state);
  xkb_keymap_unref(app->keymap);
  app->keymap = keymap;
  app->xkb_state = xkb_state_new(keymap);
}
static void keyboard_enter(void* data, struct wl_keyboard* k, uint32_t serial, struct wl_surface* s,
                           struct wl_array* keys) {
  (void)k; (void)serial; (void)s; (void)keys;
  logf_line(data, "keyboard enter");
}
static void keyboard_leave(void* data, struct wl_keyboard* k, uint32_t serial, struct wl_surface* s) {
  (void)k; (void)serial; (void)s;
  logf_line(data, "keyboard leave");
}
static void keyboard_key(void* data, struct wl_keyboard* k, uint32_t serial, uint32_t time, uint32_t key,
                         uint32_t state) {
  struct app* app = data;
  (void)k; (void)serial; (void)time;
  int pressed = state == WL_KEYBOARD_KEY_STATE_PRESSED;
  if (!app->xkb_state) {
    logf_line(app, "key evdev:%u %s", key, pressed ? "pressed" : "released");
    return;
  }
  xkb_keycode_t code = key + 8;  /* evdev to xkb */
  char name[64];
  xkb_keysym_t sym = xkb_state_key_get_one_sym(app->xkb_state, code);
  if (xkb_keysym_get_name(sym, name, sizeof name) < 0) snprintf(name, sizeof name, "keycode:%u", code);
  logf_line(app, "key %s %s", name, pressed ? "pressed" : "released");
  if (!pressed) return;
  char text[64];
  int n = xkb_state_key_get_utf8(app->xkb_state, code, text, sizeof text);
  if (n > 0 && (unsigned char)text[0] >= 0x20 && text[0] != 0x7f) logf_line(app, "text %s", text);
}
static void keyboard_modifiers(void* data, struct wl_keyboard* k, uint32_t serial, uint32_t depressed,
                               uint32_t latched, uint32_t locked, uint32_t group) {
  struct app* app = data;
  (void)k; (void)serial;
  if (app->xkb_state) xkb_state_update_mask(app->xkb_state, depressed, latched, locked, 0, 0, group);
}
static void keyboard_repeat(void* data, struct wl_keyboard* k, int32_t rate, int32_t delay) {
  (void)data; (void)k; (void)rate; (void)delay;
}
static const struct wl_keyboard_listener keyboard_listener = {keyboard_keymap, keyboard_enter, keyboard_leave,
                                                              keyboard_key,    keyboard_modifiers, keyboard_repeat};

/* ---- seat and registry */

static void seat_capabilities(void* data, struct wl_seat* seat, uint32_t caps) {
  struct app* app = data;
  if ((caps & WL_SEAT_CAPABILITY_POINTER) && !app->pointer) {
    app->pointer = wl_seat_get_pointer(seat);
    wl_pointer_add_listener(app->pointer, &pointer_listener, app);
  } else if (!(caps & WL_SEAT_CAPABILITY_POINTER) && app->pointer) {
    wl_pointer_release(app->pointer);
    app->pointer = NULL;
  }
  if ((caps & WL_SEAT_CAPABILITY_KEYBOARD) && !app->keyboard) {
    app->keyboard = wl_seat_get_keyboard(seat);
    wl_keyboard_add_listener(app->keyboard, &keyboard_listener, app);
  } else if (!(caps & WL_SEAT_CAPABILITY_KEYBOARD) && app->keyboard) {
    wl_keyboard_release(app->keyboard);
    app->keyboard = NULL;
  }
}
static void seat_name(void* data, struct wl_seat* seat, const char* name) { (void)data; (void)seat; (void)name; }
static const struct wl_seat_listener seat_listener = {seat_capabilities, seat_name};

static uint32_t min_u32(uint32_t a, uint32_t b) { return a < b ? a : b; }

static void registry_global(void* data, struct wl_registry* reg, uint32_t id, const char* iface, uint32_t version) {
  struct app* app = data;
  if (strcmp(iface, wl_compositor_interface.name) == 0) {
    app->compositor = wl_registry_bind(reg, id, &wl_compositor_interface, min_u32(version, 4));
  } else if (strcmp(iface, wl_shm_interface.name) == 0) {
    app->shm = wl_registry_bind(reg, id, &wl_shm_interface, 1);
  } else if (strcmp(iface, xdg_wm_base_interface.name) == 0) {
    app->wm_base = wl_registry_bind(reg, id, &xdg_wm_base_interface, min_u32(version, 5));
    xdg_wm_base_add_listener(app->wm_base, &wm_listener, app);
  } else if (strcmp(iface, wl_seat_interface.name) == 0 && !app->seat) {
    /* version 7: discrete wheel steps arrive as axis_discrete */
    app->seat = wl_registry_bind(reg, id, &wl_seat_interface, min_u32(version, 7));
    wl_seat_add_listener(app->seat, &seat_listener, app);
  } else if (strcmp(iface, zxdg_output_manager_v1_interface.name) == 0) {
    app->xdg_outputs = wl_registry_bind(reg, id, &zxdg_output_manager_v1_interface, min_u32(version, 3));
  } else if (strcmp(iface, wl_output_interface.name) == 0 && app->output_count < MAX_OUTPUTS) {
    struct output* out = &app->outputs[app->output_count];
    out->index = app->output_count++;
    snprintf(out->name, sizeof out->name, "-");
    out->wl = wl_registry_bind(reg, id, &wl_output_interface, min_u32(version, 4));
    wl_output_add_listener(out->wl, &output_listener, out);
  }
}
static void registry_remove(void* data, struct wl_registry* reg, uint32_t id) { (void)data; (void)reg; (void)id; }
static const struct wl_registry_listener registry_listener = {registry_global, registry_remove};

static int parse_color(const char* s, uint32_t* out) {
  if (*s == '#') ++s;
  char* end = NULL;
  unsigned long v = strtoul(s, &end, 16);
  if (strlen(s) != 6 || *end) return 0;
  *out = 0xff000000u | (uint32_t)v;
  return 1;
}

static struct output* chosen_output(struct app* app) {
  if (!app->want_output) return NULL;
  for (int i = 0; i < app->output_count; ++i)
    if (strcmp(app->outputs[i].name, app->want_output) == 0) return &app->outputs[i];
  char* end = NULL;
  long index = strtol(app->want_output, &end, 10);
  if (*end == '\0' && index >= 0 && index < app->output_count) return &app->outputs[index];
  return NULL;
}

/* The client's objects last as long as the process, which the test ends:
   nothing is torn down, so a sanitizer build's leak check has nothing to
   find here. */
const char* __lsan_default_options(void);
const char* __lsan_default_options(void) { return "detect_leaks=0"; }

int main(int argc, char** argv) {
  struct app app = {0};
  const char* log_path = NULL;
  app.color = 0xff3366cc;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--log") == 0 && i + 1 < argc) log_path = argv[++i];
    else if (strcmp(argv[i], "--color") == 0 && i + 1 < argc) {
      if (!parse_color(argv[++i], &app.color)) { fprintf(stderr, "bad colour %s (RRGGBB)\n", argv[i]); return 2; }
    } else if (strcmp(argv[i], "--output") == 0 && i + 1 < argc) app.want_output = argv[++i];
    else if (strcmp(argv[i], "--motion") == 0) motion = 1;
    else {
      fprintf(stderr, "usage: %s --log FILE [--color RRGGBB] [--output INDEX|NAME] [--motion]\n", argv[0]);
      return 2;
    }
  }
  if (!log_path) { fprintf(stderr, "--log FILE is needed\n"); return 2; }
  app.log = fopen(log_path, "a");
  if (!app.log) { fprintf(stderr, "cannot open %s: %s\n", log_path, strerror(errno)); return 1; }

  app.display = wl_display_connect(NULL);
  if (!app.display) { logf_line(&app, "error no compositor"); return 1; }
  app.xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  struct wl_registry* reg = wl_display_get_registry(app.display);
  wl_registry_add_listener(reg, &registry_listener, &app);
  wl_display_roundtrip(app.display);  /* globals */
  wl_display_roundtrip(app.display);  /* their first events: outputs, seat */
  if (app.xdg_outputs) {
    for (int i = 0; i < app.output_count; ++i) {
      app.outputs[i].xdg = zxdg_output_manager_v1_get_xdg_output(app.xdg_outputs, app.outputs[i].wl);
      zxdg_output_v1_add_listener(app.outputs[i].xdg, &xdg_output_listener, &app.outputs[i]);
    }
    wl_display_roundtrip(app.display);
  }
  if (!app.compositor || !app.shm || !app.wm_base) { logf_line(&app, "error compositor lacks xdg-shell or shm"); return 1; }
  for (int i = 0; i < app.output_count; ++i) {
    struct output* o = &app.outputs[i];
    logf_line(&app, "output %d %s %d %d %dx%d", o->index, o->name, o->x, o->y, o->width, o->height);
  }
  struct output* target = chosen_output(&app);
  if (app.want_output && !target) { logf_line(&app, "error no output %s", app.want_output); return 1; }

  app.surface = wl_compositor_create_surface(app.compositor);
  app.xdg_surface = xdg_wm_base_get_xdg_surface(app.wm_base, app.surface);
  xdg_surface_add_listener(app.xdg_surface, &surface_listener, &app);
  app.toplevel = xdg_surface_get_toplevel(app.xdg_surface);
  xdg_toplevel_add_listener(app.toplevel, &toplevel_listener, &app);
  xdg_toplevel_set_app_id(app.toplevel, "velmora-wl-test-client");
  xdg_toplevel_set_title(app.toplevel, "velmora test client");
  xdg_toplevel_set_fullscreen(app.toplevel, target ? target->wl : NULL);
  wl_surface_commit(app.surface);

  struct sigaction sa = {0};
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, NULL);
  sigaction(SIGINT, &sa, NULL);

  long long next_paint_ms = now_ms() + 33;
  /* Dispatch until told to stop; poll so a signal ends the wait. */
  struct pollfd pfd = {wl_display_get_fd(app.display), POLLIN, 0};
  while (!stop_requested && !app.closed) {
    while (wl_display_prepare_read(app.display) != 0) wl_display_dispatch_pending(app.display);
    if (wl_display_flush(app.display) < 0 && errno != EAGAIN) { wl_display_cancel_read(app.display); break; }
    int timeout = -1;
    if (motion) {
      long long left = next_paint_ms - now_ms();
      timeout = left > 0 ? (int)left : 0;
    }
    int n = poll(&pfd, 1, timeout);
    if (n == 0 && motion) {
      wl_display_cancel_read(app.display);
      next_paint_ms += 33;
      if (next_paint_ms < now_ms()) next_paint_ms = now_ms() + 33;  /* late: no burst */
      ++motion_tick;
      if (app.width > 0) paint(&app, app.width, app.height);
      continue;
    }
    if (n <= 0) {
      wl_display_cancel_read(app.display);
      if (n < 0 && errno == EINTR) continue;
      break;
    }
    if (wl_display_read_events(app.display) < 0) break;
    if (wl_display_dispatch_pending(app.display) < 0) break;
  }
  int err = wl_display_get_error(app.display);
  logf_line(&app, err && !stop_requested ? "end compositor gone" : "end");
  fclose(app.log);
  wl_display_disconnect(app.display);
  return 0;
}
