// Screen capture on X11: one display connection per capturer, MIT-SHM
// (XShmGetImage into a shared image sized to the region) when the server
// offers it, XGetImage otherwise. The pointer comes from XFixes: its image
// is fetched again only when the server reports a new shape. Its position is
// asked for every frame, except for an owner whose wait watches the
// connection: there it is asked again only after the input devices reported
// motion (XInput2 raw events, which come from real devices and XTEST alike)
// and at least every kPointerRecheckMs, which is what catches a program
// warping the pointer (a warp sends no raw event). DAMAGE on the root
// window tells which areas of the region changed since the last update, so
// a still screen costs no copy and a small change only the copy of its
// rectangles. With MIT-SHM and the
// usual B, G, R, X layout the shared image itself is the kept picture: the
// server writes changed rows straight into it and the scaler reads it in
// place, with no copy or conversion pass of ours.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstring>

#include "echo/capture.h"
#include "echo/capture_platform.h"
#include "echo/cursor.h"
#include "echo/pixel_convert.h"
#include "log/helpers.h"
#include "log/x11_display_linux.h"

namespace vl {
namespace {

// With raw motion watched, the pointer is asked for at least this often.
constexpr std::uint64_t kPointerRecheckMs = 500;

// The common 24/32-bit TrueColor layout: bytes B, G, R, X in memory.
bool isBgrx(const XImage* image) {
  return image->bits_per_pixel == 32 && image->byte_order == LSBFirst && image->red_mask == 0xFF0000ul &&
         image->green_mask == 0xFF00ul && image->blue_mask == 0xFFul;
}

int maskShift(unsigned long mask) {
  int shift = 0;
  while (mask && !(mask & 1ul)) {
    mask >>= 1;
    ++shift;
  }
  return shift;
}

std::uint8_t maskChannel(unsigned long pixel, unsigned long mask, int shift) {
  if (!mask) return 0;
  const unsigned long max = mask >> shift;
  return static_cast<std::uint8_t>(((pixel & mask) >> shift) * 255ul / max);
}

// Any other visual (16-bit, big-endian servers): slow, but correct.
void convertGeneric(XImage* image, PixelFrame& out, int dx, int dy) {
  const int rs = maskShift(image->red_mask), gs = maskShift(image->green_mask), bs = maskShift(image->blue_mask);
  for (int y = 0; y < image->height; ++y) {
    std::uint8_t* p = out.pixels.data() + (static_cast<std::size_t>(dy + y) * out.width + dx) * 4u;
    for (int x = 0; x < image->width; ++x, p += 4) {
      const unsigned long v = XGetPixel(image, x, y);
      p[0] = maskChannel(v, image->red_mask, rs);
      p[1] = maskChannel(v, image->green_mask, gs);
      p[2] = maskChannel(v, image->blue_mask, bs);
      p[3] = 255;
    }
  }
}

// XFixes hands out premultiplied ARGB, one pixel per unsigned long.
void copyCursorImage(const XFixesCursorImage& image, CursorImage& out) {
  out.width = image.width;
  out.height = image.height;
  out.hotX = image.xhot;
  out.hotY = image.yhot;
  out.pixels.resize(static_cast<std::size_t>(image.width) * image.height * 4u);
  std::uint8_t* p = out.pixels.data();
  const std::size_t count = static_cast<std::size_t>(image.width) * image.height;
  for (std::size_t i = 0; i < count; ++i, p += 4) {
    const unsigned long argb = image.pixels[i];
    p[0] = static_cast<std::uint8_t>(argb >> 16);
    p[1] = static_cast<std::uint8_t>(argb >> 8);
    p[2] = static_cast<std::uint8_t>(argb);
    p[3] = static_cast<std::uint8_t>(argb >> 24);
  }
}

// The image into `out` with its top-left corner at (dx, dy).
void convertImage(XImage* image, PixelFrame& out, int dx = 0, int dy = 0) {
  if (isBgrx(image)) {
    convertBgrxToRgba(reinterpret_cast<const std::uint8_t*>(image->data),
                      static_cast<std::size_t>(image->bytes_per_line),
                      out.pixels.data() + (static_cast<std::size_t>(dy) * out.width + dx) * 4u,
                      static_cast<std::size_t>(out.width) * 4u, image->width, image->height);
  } else {
    convertGeneric(image, out, dx, dy);
  }
}

// Copies rect r of `from` to the same place in `to` (both frame-sized or
// patch-sized as the strides say).
void copyRect(const std::uint8_t* from, std::size_t fromStride, std::uint8_t* to, std::size_t toStride, int width,
              int height) {
  for (int y = 0; y < height; ++y)
    std::memcpy(to + static_cast<std::size_t>(y) * toStride, from + static_cast<std::size_t>(y) * fromStride,
                static_cast<std::size_t>(width) * 4u);
}

// Pixels the pointer is drawn into: the kept RGBA frame, or the shared
// image in place.
struct Canvas {
  std::uint8_t* data = nullptr;
  std::size_t stride = 0;
  int width = 0, height = 0;
  bool bgrx = false;

  static Canvas of(PixelFrame& f) {
    return Canvas{f.pixels.data(), static_cast<std::size_t>(f.width) * 4u, f.width, f.height, false};
  }
  std::uint8_t* at(int x, int y) const { return data + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) * 4u; }
};

// Row spans [y, y + h) that cover the rectangles, overlapping ones merged.
void rowBands(const std::vector<PixelRect>& rects, std::vector<PixelRect>& bands, int width) {
  bands.clear();
  for (const PixelRect& r : rects) bands.push_back(PixelRect{0, r.y, width, r.height});
  std::sort(bands.begin(), bands.end(), [](const PixelRect& a, const PixelRect& b) { return a.y < b.y; });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < bands.size(); ++i) {
    if (kept > 0 && bands[i].y <= bands[kept - 1].y + bands[kept - 1].height) {
      PixelRect& last = bands[kept - 1];
      last.height = std::max(last.y + last.height, bands[i].y + bands[i].height) - last.y;
    } else {
      bands[kept++] = bands[i];
    }
  }
  bands.resize(kept);
}

}  // namespace

struct ScreenCapturer::Impl {
  Display* display = nullptr;
  Window root = 0;
  XImage* shmImage = nullptr;
  XShmSegmentInfo shm{};
  bool shmAttached = false;
  int cursorEvent = -1;  // XFixesCursorNotify's event type; -1 without XFixes
  CursorImage cursor;
  unsigned long cursorSerial = 0;
  bool cursorStale = true;
  int damageEvent = -1;  // XDamageNotify's event type; -1 without DAMAGE
  Damage damage = 0;
  XserverRegion damaged = 0;  // receives the damage at each update
  bool damageReported = true;  // a notify arrived since the last subtract
  // The pointer as drawn into the kept frame, and the pixels it covers.
  bool pointerDrawn = false;
  int pointerX = 0, pointerY = 0;
  unsigned long pointerSerial = 0;
  PixelRect under;
  std::vector<std::uint8_t> underPixels;
  // XInput2 raw motion on the root: armed before each pointer read, taken
  // off again by the first event, so a moving mouse ends at most one wait a
  // pass. -1 without XInput 2.
  int xiOpcode = -1;
  int xiMinor = 0;
  bool rawArmed = false;
  bool pointerMoved = true;
  std::uint64_t pointerReadMs = 0;
  bool pointerOnScreen = false;
  int pointerRootX = 0, pointerRootY = 0;
  // From the owner's wait on the connection: once told, bytes are read from
  // the socket only when the wait found it readable (Xlib's queue is always
  // looked at).
  bool waitHinted = false;
  bool waitReadable = true;
  // The shared image holds the kept picture (updated in place).
  bool inPlace = false;
  std::vector<PixelRect> bands;

  bool shmInPlaceUsable() const { return shmAttached && shmImage != nullptr && isBgrx(shmImage); }
  Canvas shmCanvas(int width, int height) const {
    return Canvas{reinterpret_cast<std::uint8_t*>(shmImage->data), static_cast<std::size_t>(shmImage->bytes_per_line),
                  width, height, true};
  }

  void watchDamage() {
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    damageEvent = -1;
    damageReported = true;
    if (!XDamageQueryExtension(display, &eventBase, &errorBase) || !XDamageQueryVersion(display, &major, &minor))
      return;
    if (cursorEvent < 0) return;  // the region object comes from XFixes
    // NonEmpty: one event when a change follows an update, however many
    // drawing requests make it; the rectangles are fetched at the update.
    damage = XDamageCreate(display, root, XDamageReportNonEmpty);
    damaged = XFixesCreateRegion(display, nullptr, 0);
    damageEvent = eventBase + XDamageNotify;
  }

  void unwatchDamage() {
    if (display && !detail::x11DisplayLost(display)) {
      if (damage) XDamageDestroy(display, damage);
      if (damaged) XFixesDestroyRegion(display, damaged);
    }
    damage = 0;
    damaged = 0;
    damageEvent = -1;
  }

  // Takes the queued notifications (never waits for the server).
  void drainEvents() {
    const int mode = !waitHinted || waitReadable ? QueuedAfterReading : QueuedAlready;
    waitReadable = false;
    XEvent event;
    while (XEventsQueued(display, mode) > 0) {
      XNextEvent(display, &event);
      if (event.type == damageEvent) damageReported = true;
      if (event.type == cursorEvent) cursorStale = true;
      if (event.type == GenericEvent && event.xcookie.extension == xiOpcode) {
        pointerMoved = true;
        if (rawArmed) armRawMotion(false);
      }
    }
  }

  void watchRawMotion() {
    int opcode = 0, eventBase = 0, errorBase = 0, major = 2, minor = 2;
    xiOpcode = -1;
    rawArmed = false;
    pointerMoved = true;
    if (!XQueryExtension(display, "XInputExtension", &opcode, &eventBase, &errorBase)) return;
    if (XIQueryVersion(display, &major, &minor) != Success || major < 2) return;
    xiOpcode = opcode;
    xiMinor = minor;
  }

  void armRawMotion(bool on) {
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    if (on) {
      XISetMask(bits, XI_RawMotion);
      // A touch screen moves the pointer too; raw touch needs XInput 2.2.
      if (xiMinor >= 2) {
        XISetMask(bits, XI_RawTouchBegin);
        XISetMask(bits, XI_RawTouchUpdate);
      }
    }
    XIEventMask mask{XIAllDevices, static_cast<int>(sizeof bits), bits};
    XISelectEvents(display, root, &mask, 1);
    rawArmed = on;
    // Taken off at once, or the events keep coming until the next request.
    if (!on) XFlush(display);
  }

  // The pointer now: position in root coordinates, shape refreshed when the
  // server reported a new one. false when there is none to draw.
  bool queryPointer(int& x, int& y) {
    if (cursorEvent < 0) return false;
    const std::uint64_t now = monotonicMs();
    if (!cursorStale && waitHinted && xiOpcode >= 0 && !pointerMoved && now - pointerReadMs < kPointerRecheckMs) {
      x = pointerRootX;
      y = pointerRootY;
      return pointerOnScreen;
    }
    // Armed before the read: a move after it is reported.
    if (xiOpcode >= 0 && !rawArmed) armRawMotion(true);
    pointerMoved = false;
    pointerReadMs = now;
    if (cursorStale) {
      XFixesCursorImage* image = XFixesGetCursorImage(display);
      if (image == nullptr) return pointerOnScreen = false;
      copyCursorImage(*image, cursor);
      cursorSerial = image->cursor_serial;
      x = image->x;
      y = image->y;
      XFree(image);
      cursorStale = false;
    } else {
      Window rootReturn = 0, child = 0;
      int wx = 0, wy = 0;
      unsigned mask = 0;
      // False: the pointer is on another screen of this server.
      if (!XQueryPointer(display, root, &rootReturn, &child, &x, &y, &wx, &wy, &mask)) return pointerOnScreen = false;
    }
    pointerRootX = x;
    pointerRootY = y;
    return pointerOnScreen = true;
  }

  // Puts back what the pointer covered in `kept`.
  void restoreUnder(const Canvas& kept, FrameDamage& damage) {
    if (!pointerDrawn) return;
    pointerDrawn = false;
    if (under.width <= 0 || under.height <= 0) return;
    copyRect(underPixels.data(), static_cast<std::size_t>(under.width) * 4u, kept.at(under.x, under.y), kept.stride,
             under.width, under.height);
    damage.add(under, kept.width, kept.height);
  }

  // Keeps the pixels the pointer will cover, then draws it (hotspot at
  // frame pixel x, y).
  void drawPointer(const Canvas& kept, int x, int y, FrameDamage& damage) {
    FrameDamage clip;
    clip.setNone();
    clip.add(PixelRect{x - cursor.hotX, y - cursor.hotY, cursor.width, cursor.height}, kept.width, kept.height);
    under = clip.rects.empty() ? PixelRect{} : clip.rects.front();
    underPixels.resize(static_cast<std::size_t>(under.width) * static_cast<std::size_t>(under.height) * 4u);
    if (!underPixels.empty())
      copyRect(kept.at(under.x, under.y), kept.stride, underPixels.data(), static_cast<std::size_t>(under.width) * 4u,
               under.width, under.height);
    compositeCursor(kept.data, kept.stride, kept.width, kept.height, kept.bgrx, cursor, x, y);
    pointerDrawn = true;
    damage.add(under, kept.width, kept.height);
  }

  // After a whole copy nothing reported so far counts any more.
  void forgetDamage(const MonitorInfo& rect) {
    if (damageEvent < 0) return;
    damageReported = true;
    FrameDamage ignored;
    ignored.setNone();
    takeDamage(rect, ignored);
  }

  // The pointer now in frame pixels; false when none is to be drawn.
  // `same`: it is the one drawn into the kept picture.
  bool readPointer(bool wanted, const MonitorInfo& rect, int& x, int& y, bool& same) {
    const bool shown = wanted && queryPointer(x, y);
    x -= rect.x;
    y -= rect.y;
    same = shown == pointerDrawn && (!shown || (x == pointerX && y == pointerY && cursorSerial == pointerSerial));
    return shown;
  }

  // Draws the pointer at frame pixel (x, y) and remembers it; its stamp.
  std::uint64_t putPointer(const Canvas& kept, const MonitorInfo& rect, int x, int y, FrameDamage& damage) {
    drawPointer(kept, x, y, damage);
    pointerX = x;
    pointerY = y;
    pointerSerial = cursorSerial;
    return vl::cursorStamp(cursorSerial, x + rect.x, y + rect.y);
  }

  // Copies whole rows [band.y, band.y + band.height) of the region straight
  // into the same rows of the shared image (a full-width image has the
  // shared image's row layout, so the server writes them in place).
  bool copyBand(const MonitorInfo& rect, const PixelRect& band) {
    const int screen = DefaultScreen(display);
    XImage* part = XShmCreateImage(display, DefaultVisual(display, screen),
                                   static_cast<unsigned>(DefaultDepth(display, screen)), ZPixmap,
                                   shm.shmaddr + static_cast<std::size_t>(band.y) * static_cast<std::size_t>(shmImage->bytes_per_line),
                                   &shm, static_cast<unsigned>(rect.width), static_cast<unsigned>(band.height));
    if (part == nullptr) return false;
    bool ok = part->bytes_per_line == shmImage->bytes_per_line;
    const bool failed = ok && detail::withX11Errors([&] {
      ok = XShmGetImage(display, root, part, rect.x, rect.y + band.y, AllPlanes) != 0;
    });
    part->data = nullptr;
    XDestroyImage(part);
    return ok && !failed && !detail::x11DisplayLost(display);
  }

  // Copies one rectangle of the region (frame pixels) into `kept`.
  bool copyArea(PixelFrame& kept, const MonitorInfo& rect, const PixelRect& r) {
    if (shmAttached) {
      const int screen = DefaultScreen(display);
      // A header over the start of the same segment: no server request.
      XImage* part = XShmCreateImage(display, DefaultVisual(display, screen),
                                     static_cast<unsigned>(DefaultDepth(display, screen)), ZPixmap, shm.shmaddr, &shm,
                                     static_cast<unsigned>(r.width), static_cast<unsigned>(r.height));
      if (part == nullptr) return false;
      bool ok = false;
      const bool failed = detail::withX11Errors(
          [&] { ok = XShmGetImage(display, root, part, rect.x + r.x, rect.y + r.y, AllPlanes) != 0; });
      inPlace = false;  // the segment's start now holds this part
      if (ok && !failed) convertImage(part, kept, r.x, r.y);
      part->data = nullptr;
      XDestroyImage(part);
      return ok && !failed && !detail::x11DisplayLost(display);
    }
    XImage* image = nullptr;
    const bool failed = detail::withX11Errors([&] {
      image = XGetImage(display, root, rect.x + r.x, rect.y + r.y, static_cast<unsigned>(r.width),
                        static_cast<unsigned>(r.height), AllPlanes, ZPixmap);
    });
    const bool ok = image != nullptr && !failed && !detail::x11DisplayLost(display);
    if (ok) convertImage(image, kept, r.x, r.y);
    if (image) XDestroyImage(image);
    return ok;
  }

  // The damage since the last call, clipped to the region, into `damage`.
  void takeDamage(const MonitorInfo& rect, FrameDamage& out) {
    if (!damageReported) return;
    damageReported = false;
    XDamageSubtract(display, damage, None, damaged);
    int count = 0;
    XRectangle* parts = XFixesFetchRegion(display, damaged, &count);
    for (int i = 0; i < count; ++i)
      out.add(PixelRect{parts[i].x - rect.x, parts[i].y - rect.y, parts[i].width, parts[i].height}, rect.width,
              rect.height);
    if (parts) XFree(parts);
  }

  void watchCursor() {
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    cursorEvent = -1;
    cursorStale = true;
    if (!XFixesQueryExtension(display, &eventBase, &errorBase) || !XFixesQueryVersion(display, &major, &minor) ||
        major < 1)
      return;
    XFixesSelectCursorInput(display, root, XFixesDisplayCursorNotifyMask);
    cursorEvent = eventBase + XFixesCursorNotify;
  }

  // Draws the pointer into `out` (the region at rect); the stamp, or 0 when
  // no pointer is known.
  std::uint64_t drawCursor(PixelFrame& out, const MonitorInfo& rect) {
    if (cursorEvent < 0) return 0;
    XEvent event;
    while (XCheckTypedEvent(display, cursorEvent, &event)) cursorStale = true;
    // Nothing more on a connection whose server went away meanwhile.
    if (detail::x11DisplayLost(display)) return 0;
    int x = 0, y = 0;
    if (cursorStale) {
      XFixesCursorImage* image = XFixesGetCursorImage(display);
      if (image == nullptr) return 0;
      copyCursorImage(*image, cursor);
      cursorSerial = image->cursor_serial;
      x = image->x;
      y = image->y;
      XFree(image);
      cursorStale = false;
    } else {
      Window rootReturn = 0, child = 0;
      int wx = 0, wy = 0;
      unsigned mask = 0;
      // False: the pointer is on another screen of this server.
      if (!XQueryPointer(display, root, &rootReturn, &child, &x, &y, &wx, &wy, &mask)) return 0;
    }
    compositeCursor(out, cursor, x - rect.x, y - rect.y);
    return vl::cursorStamp(cursorSerial, x, y);
  }

  bool attachShm(int width, int height) {
    const int screen = DefaultScreen(display);
    shm.shmid = -1;
    shm.shmaddr = nullptr;
    shmImage = XShmCreateImage(display, DefaultVisual(display, screen),
                               static_cast<unsigned>(DefaultDepth(display, screen)), ZPixmap, nullptr, &shm,
                               static_cast<unsigned>(width), static_cast<unsigned>(height));
    if (!shmImage) return false;
    const std::size_t bytes = static_cast<std::size_t>(shmImage->bytes_per_line) * static_cast<std::size_t>(height);
    shm.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (shm.shmid < 0) return false;
    void* address = shmat(shm.shmid, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) return false;
    shm.shmaddr = static_cast<char*>(address);
    shmImage->data = shm.shmaddr;
    shm.readOnly = False;
    bool accepted = false;
    // A server on another machine refuses the segment with an X error.
    const bool failed = detail::withX11Errors([&] {
      accepted = XShmAttach(display, &shm) != 0;
      XSync(display, False);
    });
    shmAttached = accepted && !failed;
    // Marked for removal now: the segment vanishes with its last user, even
    // if this process dies.
    shmctl(shm.shmid, IPC_RMID, nullptr);
    return shmAttached;
  }

  void releaseShm() {
    if (shmAttached && display && !detail::x11ServerGone(display)) {
      XShmDetach(display, &shm);
      XSync(display, False);
    }
    shmAttached = false;
    if (shmImage) {
      shmImage->data = nullptr;
      XDestroyImage(shmImage);
      shmImage = nullptr;
    }
    if (shm.shmaddr) shmdt(shm.shmaddr);
    if (shm.shmid >= 0 && shm.shmaddr == nullptr) shmctl(shm.shmid, IPC_RMID, nullptr);
    shm = XShmSegmentInfo{};
    shm.shmid = -1;
  }

  void release() {
    unwatchDamage();
    xiOpcode = -1;
    rawArmed = false;
    pointerMoved = true;
    waitReadable = true;
    pointerDrawn = false;
    inPlace = false;
    releaseShm();
    detail::closeX11Display(display);
    display = nullptr;
    root = 0;
  }
};

ScreenCapturer::ScreenCapturer() : impl_(std::make_unique<Impl>()) { impl_->shm.shmid = -1; }

ScreenCapturer::~ScreenCapturer() { close(); }

bool ScreenCapturer::open(const CaptureRegion& region) {
  close();
  rect_ = resolveCaptureRegion(region);
  if (rect_.width <= 0 || rect_.height <= 0) return false;

  Impl& d = *impl_;
  d.display = detail::openX11Display();
  if (!d.display) return false;
  d.root = DefaultRootWindow(d.display);
  d.watchCursor();
  d.watchDamage();
  d.watchRawMotion();
  int major = 0, minor = 0;
  Bool pixmaps = False;
  if (shmAllowed_ && XShmQueryVersion(d.display, &major, &minor, &pixmaps)) {
    if (!d.attachShm(rect_.width, rect_.height)) d.releaseShm();
  }
  width_ = rect_.width;
  height_ = rect_.height;
  logOpened();
  return true;
}

void ScreenCapturer::close() {
  impl_->release();
  kept_ = nullptr;
  width_ = 0;
  height_ = 0;
}

bool ScreenCapturer::isReady() const { return impl_->display != nullptr; }

bool ScreenCapturer::usingSharedMemory() const { return impl_->shmAttached; }

bool ScreenCapturer::usingDuplication() const { return false; }

bool ScreenCapturer::grab() { return false; }

bool ScreenCapturer::capture(PixelFrame& out) {
  if (!isReady()) return false;
  Impl& d = *impl_;
  if (detail::x11DisplayLost(d.display)) return false;
  if (d.shmAttached) {
    bool ok = false;
    // A region that no longer fits the root (the screen shrank) is an X error.
    const bool failed = detail::withX11Errors(
        [&] { ok = XShmGetImage(d.display, d.root, d.shmImage, rect_.x, rect_.y, AllPlanes) != 0; });
    d.inPlace = false;
    if (!ok || failed || detail::x11DisplayLost(d.display)) return false;
    out.setSize(width_, height_);
    convertImage(d.shmImage, out);
    cursorStamp_ = cursorDrawn_ ? d.drawCursor(out, rect_) : 0;
    capturedSinceLog_ = true;
    return true;
  }
  XImage* image = nullptr;
  const bool failed = detail::withX11Errors([&] {
    image = XGetImage(d.display, d.root, rect_.x, rect_.y, static_cast<unsigned>(width_),
                      static_cast<unsigned>(height_), AllPlanes, ZPixmap);
  });
  if (!image || failed || detail::x11DisplayLost(d.display)) {
    if (image) XDestroyImage(image);
    return false;
  }
  out.setSize(width_, height_);
  convertImage(image, out);
  XDestroyImage(image);
  cursorStamp_ = cursorDrawn_ ? d.drawCursor(out, rect_) : 0;
  capturedSinceLog_ = true;
  return true;
}

bool ScreenCapturer::update(PixelFrame& kept, FrameDamage& damage) {
  damage.setWhole();
  if (!isReady()) return false;
  Impl& d = *impl_;
  if (detail::x11DisplayLost(d.display)) return false;
  // Whatever is reported from here on belongs to this update or a later one.
  d.drainEvents();
  const bool known = d.damageEvent >= 0 && kept_ == &kept && kept.width == width_ && kept.height == height_ &&
                     keptCursorDrawn_ == cursorDrawn_;
  if (!known) {
    d.forgetDamage(rect_);
    d.pointerDrawn = false;
    kept_ = nullptr;
    kept.setSize(width_, height_);
    if (!d.copyArea(kept, rect_, PixelRect{0, 0, width_, height_})) return false;
    cursorStamp_ = 0;
    int px = 0, py = 0;
    bool same = false;
    if (d.readPointer(cursorDrawn_, rect_, px, py, same)) {
      FrameDamage ignored;
      ignored.setNone();
      cursorStamp_ = d.putPointer(Canvas::of(kept), rect_, px, py, ignored);
    }
    capturedSinceLog_ = true;
    kept_ = &kept;
    keptCursorDrawn_ = cursorDrawn_;
    damage.setWhole();
    return true;
  }

  damage.setNone();
  d.takeDamage(rect_, damage);
  int px = 0, py = 0;
  bool pointerSame = false;
  const bool pointerShown = d.readPointer(cursorDrawn_, rect_, px, py, pointerSame);
  if (damage.rects.empty() && pointerSame) return true;  // nothing to do

  // The pointer comes off first, so the areas copied below and the patch
  // taken for its new place hold the screen alone.
  FrameDamage copied = damage;
  d.restoreUnder(Canvas::of(kept), damage);
  for (const PixelRect& r : copied.rects) {
    if (!d.copyArea(kept, rect_, r)) {
      kept_ = nullptr;
      damage.setWhole();
      return false;
    }
  }
  cursorStamp_ = 0;
  if (pointerShown) cursorStamp_ = d.putPointer(Canvas::of(kept), rect_, px, py, damage);
  capturedSinceLog_ = true;
  return true;
}

bool ScreenCapturer::updateView(PixelFrame& kept, FrameDamage& damage, PixelView& view) {
  Impl& d = *impl_;
  view = PixelView{};
  if (!isReady() || !d.shmInPlaceUsable()) {
    if (!update(kept, damage)) return false;
    view = PixelView::of(kept);
    return true;
  }
  damage.setWhole();
  if (detail::x11DisplayLost(d.display)) return false;
  d.drainEvents();
  const Canvas canvas = d.shmCanvas(width_, height_);
  const PixelView shared{canvas.data, canvas.stride, width_, height_, true};
  // `kept` is left alone: the next update() into it captures it whole.
  kept_ = nullptr;
  const bool known = d.damageEvent >= 0 && d.inPlace && keptCursorDrawn_ == cursorDrawn_;
  if (!known) {
    d.forgetDamage(rect_);
    d.pointerDrawn = false;
    d.inPlace = false;
    if (!d.copyBand(rect_, PixelRect{0, 0, width_, height_})) return false;
    cursorStamp_ = 0;
    int px = 0, py = 0;
    bool same = false;
    if (d.readPointer(cursorDrawn_, rect_, px, py, same)) {
      FrameDamage ignored;
      ignored.setNone();
      cursorStamp_ = d.putPointer(canvas, rect_, px, py, ignored);
    }
    capturedSinceLog_ = true;
    d.inPlace = true;
    keptCursorDrawn_ = cursorDrawn_;
    view = shared;
    return true;
  }

  damage.setNone();
  d.takeDamage(rect_, damage);
  int px = 0, py = 0;
  bool pointerSame = false;
  const bool pointerShown = d.readPointer(cursorDrawn_, rect_, px, py, pointerSame);
  view = shared;
  if (damage.rects.empty() && pointerSame) return true;  // nothing to do

  // As in update(): the pointer comes off before any rows are copied.
  const std::vector<PixelRect> changed = damage.rects;
  d.restoreUnder(canvas, damage);
  rowBands(changed, d.bands, width_);
  for (const PixelRect& band : d.bands) {
    if (!d.copyBand(rect_, band)) {
      d.inPlace = false;
      damage.setWhole();
      view = PixelView{};
      return false;
    }
  }
  cursorStamp_ = 0;
  if (pointerShown) cursorStamp_ = d.putPointer(canvas, rect_, px, py, damage);
  capturedSinceLog_ = true;
  return true;
}

bool ScreenCapturer::changePending() {
  if (!isReady() || impl_->damageEvent < 0 || detail::x11DisplayLost(impl_->display)) return false;
  impl_->drainEvents();
  return impl_->damageReported || impl_->cursorStale || (cursorDrawn_ && impl_->pointerMoved);
}

void ScreenCapturer::changeHandleWaited(bool readable) {
  impl_->waitHinted = true;
  impl_->waitReadable = readable;
}

int ScreenCapturer::changeHandle() const {
  if (!isReady() || impl_->damageEvent < 0) return -1;
  return ConnectionNumber(impl_->display);
}

// X11 has no per-window capture exclusion.
bool setCaptureExclusion(void*, bool) { return false; }

}  // namespace vl
