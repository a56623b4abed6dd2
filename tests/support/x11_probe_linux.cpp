// X11 helper for the window's end-to-end test (DISPLAY must be set):
//   x11_probe shot FILE.png      the root window as a PNG
//   x11_probe count RRGGBB       pixels of exactly that colour on the screen
//   x11_probe find padrow        centres of the Pad row's widgets
//   x11_probe find buttons       centres of the lowest pair of left-column buttons
//   x11_probe close WINDOW       WM_DELETE_WINDOW, as a window manager's close button
//   x11_probe mapped WINDOW      exit 0 when the window is viewable
//   x11_probe tray               a minimal system tray: docks icons, prints
//                                "docked X Y" (the icon's centre); SIGUSR1
//                                restarts it, SIGTERM ends it
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <sys/select.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

namespace {

constexpr unsigned kButton = 0x223041;  // the theme's Button colour
constexpr unsigned kFrame = 0x1B222C;   // FrameBg: checkbox and text box

struct Capture {
  int width = 0, height = 0;
  std::vector<unsigned> rgb;  // 0xRRGGBB per pixel
  unsigned at(int x, int y) const { return rgb[static_cast<std::size_t>(y) * width + x]; }
};

Capture grab(Display* display) {
  Capture s;
  const Window root = DefaultRootWindow(display);
  XWindowAttributes attributes;
  XGetWindowAttributes(display, root, &attributes);
  s.width = attributes.width;
  s.height = attributes.height;
  XImage* image = XGetImage(display, root, 0, 0, s.width, s.height, AllPlanes, ZPixmap);
  s.rgb.resize(static_cast<std::size_t>(s.width) * s.height);
  for (int y = 0; y < s.height; ++y)
    for (int x = 0; x < s.width; ++x) {
      const unsigned long p = XGetPixel(image, x, y);
      const auto channel = [&](unsigned long mask) {
        int shift = 0;
        while (mask && !(mask & 1)) mask >>= 1, ++shift;
        return static_cast<unsigned>(((p >> shift) & mask) * 255 / (mask ? mask : 1));
      };
      s.rgb[static_cast<std::size_t>(y) * s.width + x] =
          channel(image->red_mask) << 16 | channel(image->green_mask) << 8 | channel(image->blue_mask);
    }
  XDestroyImage(image);
  return s;
}

struct Run {
  int x0, x1;
  unsigned colour;
};

// Runs of at least minLength pixels of the wanted colours along row y, left of xMax.
std::vector<Run> runs(const Capture& s, int y, int xMax, int minLength, std::vector<unsigned> wanted) {
  std::vector<Run> out;
  for (int x = 0; x < xMax;) {
    const unsigned c = s.at(x, y);
    int end = x;
    while (end < xMax && s.at(end, y) == c) ++end;
    bool want = false;
    for (unsigned w : wanted) want |= w == c;
    if (want && end - x >= minLength) out.push_back({x, end - 1, c});
    x = end;
  }
  return out;
}

// The Pad row: a button, the checkbox, the address box, the connect button.
// Scans a line just below the frames' top edge, where no text is drawn.
int findPadRow(const Capture& s) {
  for (int y = 0; y < s.height / 3; ++y) {
    std::vector<Run> r = runs(s, y, s.width, 8, {kButton, kFrame});
    if (r.size() < 4 || r[0].colour != kButton || r[0].x0 > 60) continue;
    const int row = y + 3;
    r = runs(s, row, s.width, 8, {kButton, kFrame});
    if (r.size() < 4) continue;
    int height = 0;
    while (row + height < s.height && s.at(r[1].x0 + 2, row + height) == kFrame) ++height;
    const int mid = row + height / 2;
    const char* names[] = {"rediscover", "autodiscover", "hubip", "connect"};
    for (int i = 0; i < 4; ++i) std::printf("%s %d %d\n", names[i], (r[i].x0 + r[i].x1) / 2, i == 0 ? row + 4 : mid);
    return 0;
  }
  std::fprintf(stderr, "no Pad row found\n");
  return 1;
}

// The lowest row of the left column holding two wide buttons side by side.
int findBottomButtons(const Capture& s) {
  const int columnRight = s.width * 56 / 100;
  for (int y = s.height - 1; y > 0; --y) {
    const std::vector<Run> r = runs(s, y, columnRight, 60, {kButton});
    if (r.size() != 2) continue;
    std::printf("tray %d %d\nexit %d %d\n", (r[0].x0 + r[0].x1) / 2, y - 8, (r[1].x0 + r[1].x1) / 2, y - 8);
    return 0;
  }
  std::fprintf(stderr, "no buttons found\n");
  return 1;
}

volatile std::sig_atomic_t gSignal = 0;
void onSignal(int signal) { gSignal = signal; }

// A tray in the bottom-right corner that takes every dock request, keeping
// the icons in its save-set as real trays do.
int runTray(Display* display) {
  std::signal(SIGUSR1, onSignal);
  std::signal(SIGTERM, onSignal);
  const int screen = DefaultScreen(display);
  const Window root = RootWindow(display, screen);
  const Atom selection = XInternAtom(display, ("_NET_SYSTEM_TRAY_S" + std::to_string(screen)).c_str(), False);
  const Atom opcode = XInternAtom(display, "_NET_SYSTEM_TRAY_OPCODE", False);
  const Atom manager = XInternAtom(display, "MANAGER", False);
  const int trayX = DisplayWidth(display, screen) - 120, trayY = DisplayHeight(display, screen) - 32;
  Window tray = 0;
  int slots = 0;
  const auto start = [&] {
    tray = XCreateSimpleWindow(display, root, trayX, trayY, 120, 32, 0, 0, 0x303030);
    XSelectInput(display, tray, SubstructureNotifyMask);
    XMapWindow(display, tray);
    XSetSelectionOwner(display, selection, tray, CurrentTime);
    XEvent e = {};
    e.xclient.type = ClientMessage;
    e.xclient.window = root;
    e.xclient.message_type = manager;
    e.xclient.format = 32;
    e.xclient.data.l[0] = CurrentTime;
    e.xclient.data.l[1] = static_cast<long>(selection);
    e.xclient.data.l[2] = static_cast<long>(tray);
    XSendEvent(display, root, False, StructureNotifyMask, &e);
    XFlush(display);
    slots = 0;
    std::printf("tray 0x%lx\n", tray);
    std::fflush(stdout);
  };
  start();
  while (gSignal != SIGTERM) {
    if (gSignal == SIGUSR1) {
      gSignal = 0;
      XDestroyWindow(display, tray);  // its icons go back to the root window
      start();
    }
    while (XPending(display)) {
      XEvent e;
      XNextEvent(display, &e);
      if (e.type == ClientMessage && e.xclient.message_type == opcode && e.xclient.data.l[1] == 0) {
        const Window icon = static_cast<Window>(e.xclient.data.l[2]);
        XAddToSaveSet(display, icon);
        XReparentWindow(display, icon, tray, 4 + slots * 28, 4);
        XResizeWindow(display, icon, 24, 24);
        XMapWindow(display, icon);
        XFlush(display);
        std::printf("docked %d %d\n", trayX + 16 + slots * 28, trayY + 16);
        std::fflush(stdout);
        ++slots;
      }
    }
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(ConnectionNumber(display), &fds);
    timeval timeout = {0, 100000};
    select(ConnectionNumber(display) + 1, &fds, nullptr, nullptr, &timeout);
  }
  return 0;
}

int ignoreErrors(Display*, XErrorEvent*) { return 0; }

}  // namespace

int main(int argc, char** argv) {
  Display* display = XOpenDisplay(nullptr);
  if (!display || argc < 2) {
    std::fprintf(stderr, "usage: x11_probe shot|count|find|close|mapped|tray ... (DISPLAY must be set)\n");
    return 2;
  }
  XSetErrorHandler(ignoreErrors);
  const std::string command = argv[1];
  const char* arg = argc > 2 ? argv[2] : "";
  if (command == "tray") return runTray(display);
  if (command == "close" || command == "mapped") {
    const Window window = std::strtoul(arg, nullptr, 0);
    if (command == "mapped") {
      XWindowAttributes attributes = {};
      return XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable ? 0 : 1;
    }
    XEvent e = {};
    e.xclient.type = ClientMessage;
    e.xclient.window = window;
    e.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &e);
    XSync(display, False);
    return 0;
  }
  const Capture s = grab(display);
  if (command == "shot") {
    std::vector<unsigned char> bytes;
    for (unsigned p : s.rgb) bytes.insert(bytes.end(), {static_cast<unsigned char>(p >> 16),
                                                        static_cast<unsigned char>(p >> 8), static_cast<unsigned char>(p)});
    return stbi_write_png(arg, s.width, s.height, 3, bytes.data(), s.width * 3) ? 0 : 1;
  }
  if (command == "count") {
    const unsigned colour = std::strtoul(arg, nullptr, 16);
    std::size_t n = 0;
    for (unsigned p : s.rgb) n += p == colour;
    std::printf("%zu\n", n);
    return 0;
  }
  if (command == "find" && std::strcmp(arg, "padrow") == 0) return findPadRow(s);
  if (command == "find" && std::strcmp(arg, "buttons") == 0) return findBottomButtons(s);
  std::fprintf(stderr, "unknown command %s\n", command.c_str());
  return 2;
}
