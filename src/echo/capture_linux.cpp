// Screen capture on X11: one display connection per capturer, MIT-SHM
// (XShmGetImage into a shared image sized to the region) when the server
// offers it, XGetImage otherwise. The pointer comes from XFixes: its image
// is fetched again only when the server reports a new shape, its position
// is asked for every frame.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xfixes.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include "echo/capture.h"
#include "echo/capture_platform.h"
#include "echo/cursor.h"
#include "echo/pixel_convert.h"
#include "log/x11_display_linux.h"

namespace vl {
namespace {

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
void convertGeneric(XImage* image, PixelFrame& out) {
  const int rs = maskShift(image->red_mask), gs = maskShift(image->green_mask), bs = maskShift(image->blue_mask);
  std::uint8_t* p = out.pixels.data();
  for (int y = 0; y < out.height; ++y) {
    for (int x = 0; x < out.width; ++x, p += 4) {
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

void convertImage(XImage* image, PixelFrame& out) {
  if (isBgrx(image)) {
    convertBgrxToRgba(reinterpret_cast<const std::uint8_t*>(image->data),
                      static_cast<std::size_t>(image->bytes_per_line), out.pixels.data(),
                      static_cast<std::size_t>(out.width) * 4u, out.width, out.height);
  } else {
    convertGeneric(image, out);
  }
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
  width_ = 0;
  height_ = 0;
}

bool ScreenCapturer::isReady() const { return impl_->display != nullptr; }

bool ScreenCapturer::usingSharedMemory() const { return impl_->shmAttached; }

bool ScreenCapturer::usingDuplication() const { return false; }

bool ScreenCapturer::capture(PixelFrame& out) {
  if (!isReady()) return false;
  Impl& d = *impl_;
  if (detail::x11DisplayLost(d.display)) return false;
  if (d.shmAttached) {
    bool ok = false;
    // A region that no longer fits the root (the screen shrank) is an X error.
    const bool failed = detail::withX11Errors(
        [&] { ok = XShmGetImage(d.display, d.root, d.shmImage, rect_.x, rect_.y, AllPlanes) != 0; });
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

// X11 has no per-window capture exclusion.
bool setCaptureExclusion(void*, bool) { return false; }

}  // namespace vl
