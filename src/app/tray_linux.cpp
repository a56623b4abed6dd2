// The freedesktop system tray: the icon is a small window of ours that the
// tray (the owner of the _NET_SYSTEM_TRAY_S<screen> selection) embeds after a
// SYSTEM_TRAY_REQUEST_DOCK message. Protocol errors on windows the tray owns
// or destroys are trapped: Xlib's default handler would end the process.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "app/app_icon.h"
#include "app/window.h"
#include "log/helpers.h"

// Xlib last: its macros clash with names in the project's headers.
#include "app/tray_linux.h"
#include "log/x11_display_linux.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace vl {
namespace {

constexpr long kRequestDock = 0;  // SYSTEM_TRAY_REQUEST_DOCK
constexpr long kXembedMapped = 1;  // XEMBED_MAPPED in _XEMBED_INFO's flags
constexpr int kMenuGrabTries = 25;  // passes to wait for another client's grab to end

// The panel's colours, so the menu looks like part of it.
constexpr unsigned kMenuBackground = 0x1B222C;
constexpr unsigned kMenuBorder = 0x2A3441;
constexpr unsigned kMenuHover = 0x2B3B50;
constexpr unsigned kMenuText = 0xE6EDF5;

unsigned long packChannel(unsigned value, unsigned long mask) {
  if (mask == 0) return 0;
  const int shift = std::countr_zero(mask);
  const unsigned long top = mask >> shift;
  return ((value * top + 127) / 255) << shift;
}

int scaled(float scale, int pixels) { return std::max(1, static_cast<int>(std::lround(pixels * scale))); }

}  // namespace

bool LinuxTray::open(float scale) {
  if (display_) return true;
  if (!envExists("DISPLAY")) return false;
  display_ = detail::openX11Display(nullptr);
  if (!display_) return false;
  scale_ = scale;
  screen_ = DefaultScreen(display_);
  root_ = RootWindow(display_, screen_);
  trayAtom_ = XInternAtom(display_, formatString("_NET_SYSTEM_TRAY_S%d", screen_).c_str(), False);
  opcodeAtom_ = XInternAtom(display_, "_NET_SYSTEM_TRAY_OPCODE", False);
  managerAtom_ = XInternAtom(display_, "MANAGER", False);
  xembedInfoAtom_ = XInternAtom(display_, "_XEMBED_INFO", False);
  trayVisualAtom_ = XInternAtom(display_, "_NET_SYSTEM_TRAY_VISUAL", False);
  wmNameAtom_ = XInternAtom(display_, "_NET_WM_NAME", False);
  utf8Atom_ = XInternAtom(display_, "UTF8_STRING", False);
  windowTypeAtom_ = XInternAtom(display_, "_NET_WM_WINDOW_TYPE", False);
  popupMenuTypeAtom_ = XInternAtom(display_, "_NET_WM_WINDOW_TYPE_POPUP_MENU", False);
  // A new tray announces itself with a MANAGER message to the root window.
  XSelectInput(display_, root_, StructureNotifyMask);
  XFlush(display_);
  return true;
}

void LinuxTray::close() {
  if (!display_) return;
  if (detail::x11ServerGone(display_)) {
    // No call on a connection whose server went away: it is only abandoned.
    detail::closeX11Display(display_);
    display_ = nullptr;
    font_ = nullptr;
    menuDraw_ = nullptr;
    menu_ = 0;
    menuGrabbed_ = false;
    icon_ = 0;
    manager_ = 0;
    iconColormap_ = 0;
    iconWidth_ = iconHeight_ = 0;
    return;
  }
  closeMenu();
  destroyIcon();
  if (font_) XftFontClose(display_, font_);
  font_ = nullptr;
  detail::closeX11Display(display_);
  display_ = nullptr;
}

void LinuxTray::destroyIcon() {
  if (icon_) {
    const Window icon = icon_;
    detail::withX11Errors([&] {
      XDestroyWindow(display_, icon);  // the tray drops the slot
      XSync(display_, False);
    });
  }
  if (iconColormap_) XFreeColormap(display_, iconColormap_);
  icon_ = 0;
  manager_ = 0;
  iconColormap_ = 0;
  iconWidth_ = iconHeight_ = 0;
}

bool LinuxTray::dock() {
  if (!display_ || detail::x11DisplayLost(display_)) return false;
  closeMenu();
  destroyIcon();  // a fresh window: the old one may sit in a tray that is gone
  const Window manager = XGetSelectionOwner(display_, trayAtom_);
  if (manager == None) return false;

  bool sent = false;
  const bool failed = detail::withX11Errors([&] {
    // A compositing tray names the (ARGB) visual its icons should use.
    iconVisual_ = DefaultVisual(display_, screen_);
    iconDepth_ = DefaultDepth(display_, screen_);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display_, manager, trayVisualAtom_, 0, 1, False, XA_VISUALID, &type, &format, &count,
                           &after, &data) == Success && data && count == 1 && format == 32) {
      XVisualInfo wanted = {};
      wanted.visualid = static_cast<VisualID>(*reinterpret_cast<unsigned long*>(data));
      int found = 0;
      if (XVisualInfo* info = XGetVisualInfo(display_, VisualIDMask, &wanted, &found)) {
        if (found > 0) {
          iconVisual_ = info[0].visual;
          iconDepth_ = info[0].depth;
        }
        XFree(info);
      }
    }
    if (data) XFree(data);

    XSetWindowAttributes attributes = {};
    unsigned long mask = CWEventMask;
    attributes.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask;
    if (iconVisual_ != DefaultVisual(display_, screen_)) {
      iconColormap_ = XCreateColormap(display_, root_, iconVisual_, AllocNone);
      attributes.colormap = iconColormap_;
      attributes.background_pixel = 0;  // transparent in an ARGB visual
      attributes.border_pixel = 0;
      mask |= CWColormap | CWBackPixel | CWBorderPixel;
    } else {
      attributes.background_pixmap = ParentRelative;  // the tray's own background around the icon
      mask |= CWBackPixmap;
    }
    const int size = scaled(scale_, 22);
    icon_ = XCreateWindow(display_, root_, 0, 0, size, size, 0, iconDepth_, InputOutput, iconVisual_, mask,
                          &attributes);
    iconWidth_ = iconHeight_ = size;

    XClassHint classHint = {const_cast<char*>("VelmoraAgentTray"), const_cast<char*>("VelmoraAgentTray")};
    Xutf8SetWMProperties(display_, icon_, kTrayTip, kTrayTip, nullptr, 0, nullptr, nullptr, &classHint);
    XChangeProperty(display_, icon_, wmNameAtom_, utf8Atom_, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(kTrayTip), static_cast<int>(std::strlen(kTrayTip)));
    const long info[2] = {0, kXembedMapped};  // XEmbed version 0; the tray maps it
    XChangeProperty(display_, icon_, xembedInfoAtom_, xembedInfoAtom_, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(info), 2);
    XSelectInput(display_, manager, StructureNotifyMask);  // its end takes the icon with it

    XEvent request = {};
    request.xclient.type = ClientMessage;
    request.xclient.window = manager;
    request.xclient.message_type = opcodeAtom_;
    request.xclient.format = 32;
    request.xclient.data.l[0] = CurrentTime;
    request.xclient.data.l[1] = kRequestDock;
    request.xclient.data.l[2] = static_cast<long>(icon_);
    sent = XSendEvent(display_, manager, False, NoEventMask, &request) != 0;
    XSync(display_, False);
  });
  if (failed || !sent) {  // the tray went away meanwhile
    destroyIcon();
    return false;
  }
  manager_ = manager;
  return true;
}

void LinuxTray::drawIcon() {
  if (!icon_ || iconWidth_ <= 0 || iconHeight_ <= 0) return;
  const int size = std::min({iconWidth_, iconHeight_, kAppIconMaxSize});
  const std::vector<std::uint8_t> rgba = appIconRgba(size);
  const int left = (iconWidth_ - size) / 2, top = (iconHeight_ - size) / 2;
  const bool argb = iconDepth_ == 32;
  const unsigned long redMask = iconVisual_->red_mask, greenMask = iconVisual_->green_mask;
  const unsigned long blueMask = iconVisual_->blue_mask;
  const unsigned long alphaMask = argb ? 0xFFFFFFFFul & ~(redMask | greenMask | blueMask) : 0;

  XImage* image = XCreateImage(display_, iconVisual_, iconDepth_, ZPixmap, 0, nullptr, size, size, 32, 0);
  if (!image) return;
  image->data = static_cast<char*>(std::calloc(static_cast<std::size_t>(image->bytes_per_line) * size, 1));
  // Without an alpha channel the transparent corners are cut out with a
  // clip mask, so the tray's background shows there.
  const int stride = (size + 7) / 8;
  std::vector<char> bits(static_cast<std::size_t>(stride) * size, 0);
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      const std::uint8_t* p = &rgba[(static_cast<std::size_t>(y) * size + x) * 4];
      unsigned r = p[0], g = p[1], b = p[2];
      const unsigned a = p[3];
      if (argb) r = r * a / 255, g = g * a / 255, b = b * a / 255;  // premultiplied
      else if (a >= 128) bits[static_cast<std::size_t>(y) * stride + x / 8] |= static_cast<char>(1 << (x % 8));
      XPutPixel(image, x, y,
                packChannel(r, redMask) | packChannel(g, greenMask) | packChannel(b, blueMask) |
                    packChannel(a, alphaMask));
    }
  }
  detail::withX11Errors([&] {
    GC gc = XCreateGC(display_, icon_, 0, nullptr);
    Pixmap clip = 0;
    XClearWindow(display_, icon_);
    if (!argb) {
      clip = XCreateBitmapFromData(display_, icon_, bits.data(), size, size);
      XSetClipMask(display_, gc, clip);
      XSetClipOrigin(display_, gc, left, top);
    }
    XPutImage(display_, icon_, gc, image, 0, 0, left, top, size, size);
    if (clip) XFreePixmap(display_, clip);
    XFreeGC(display_, gc);
    XSync(display_, False);
  });
  XDestroyImage(image);  // frees the pixel buffer too
}

unsigned long LinuxTray::pixel(unsigned rgb) {
  XColor colour = {};
  colour.red = static_cast<unsigned short>(((rgb >> 16) & 0xFF) * 257);
  colour.green = static_cast<unsigned short>(((rgb >> 8) & 0xFF) * 257);
  colour.blue = static_cast<unsigned short>((rgb & 0xFF) * 257);
  colour.flags = DoRed | DoGreen | DoBlue;
  if (!XAllocColor(display_, DefaultColormap(display_, screen_), &colour)) return BlackPixel(display_, screen_);
  return colour.pixel;
}

bool LinuxTray::grabForMenu() {
  const unsigned mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
  // Not owner_events: every pointer event comes to the menu, so a click
  // anywhere else is seen (and closes it, as a popup menu does).
  if (XGrabPointer(display_, menu_, False, mask, GrabModeAsync, GrabModeAsync, None, None, CurrentTime) !=
      GrabSuccess)
    return false;
  XGrabKeyboard(display_, menu_, False, GrabModeAsync, GrabModeAsync, CurrentTime);
  return true;
}

void LinuxTray::openMenu(int rootX, int rootY) {
  closeMenu();
  if (!font_) {
    // fontconfig picks a sans-serif face that covers simplified Chinese.
    const std::string pattern = formatString("sans-serif:lang=zh-cn:pixelsize=%d", scaled(scale_, 14));
    font_ = XftFontOpenName(display_, screen_, pattern.c_str());
    if (!font_) return;
  }
  padding_ = scaled(scale_, 14);
  itemHeight_ = std::max(scaled(scale_, 28), font_->ascent + font_->descent + scaled(scale_, 8));
  separatorHeight_ = scaled(scale_, 9);
  int textWidth = 0;
  for (const char* text : {kTrayMenuShow, kTrayMenuExit}) {
    XGlyphInfo extents = {};
    XftTextExtentsUtf8(display_, font_, reinterpret_cast<const FcChar8*>(text), static_cast<int>(std::strlen(text)),
                       &extents);
    textWidth = std::max(textWidth, static_cast<int>(extents.xOff));
  }
  menuWidth_ = std::max(scaled(scale_, 120), textWidth + 2 * padding_ + scaled(scale_, 24));
  menuHeight_ = 2 * itemHeight_ + separatorHeight_ + 2 * scaled(scale_, 4);

  // At the pointer, turned up or left where the screen ends (the tray is
  // usually at an edge).
  const int screenWidth = DisplayWidth(display_, screen_), screenHeight = DisplayHeight(display_, screen_);
  int x = rootX, y = rootY;
  if (x + menuWidth_ + 2 > screenWidth) x = rootX - menuWidth_ - 2;
  if (y + menuHeight_ + 2 > screenHeight) y = rootY - menuHeight_ - 2;
  x = std::max(0, x);
  y = std::max(0, y);

  XSetWindowAttributes attributes = {};
  attributes.override_redirect = True;
  attributes.background_pixel = pixel(kMenuBackground);
  attributes.border_pixel = pixel(kMenuBorder);
  attributes.event_mask =
      ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask | StructureNotifyMask;
  menu_ = XCreateWindow(display_, root_, x, y, menuWidth_, menuHeight_, 1, CopyFromParent, InputOutput,
                        CopyFromParent, CWOverrideRedirect | CWBackPixel | CWBorderPixel | CWEventMask, &attributes);
  XClassHint classHint = {const_cast<char*>("VelmoraAgentTrayMenu"), const_cast<char*>("VelmoraAgentTrayMenu")};
  XSetClassHint(display_, menu_, &classHint);
  XChangeProperty(display_, menu_, windowTypeAtom_, XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&popupMenuTypeAtom_), 1);
  XMapRaised(display_, menu_);
  menuDraw_ = XftDrawCreate(display_, menu_, DefaultVisual(display_, screen_), DefaultColormap(display_, screen_));
  hoveredItem_ = 0;
  menuGrabbed_ = grabForMenu();
  menuGrabTries_ = 0;
  XFlush(display_);
}

void LinuxTray::closeMenu() {
  if (!menu_) return;
  if (menuDraw_) XftDrawDestroy(menuDraw_);
  menuDraw_ = nullptr;
  XUngrabPointer(display_, CurrentTime);
  XUngrabKeyboard(display_, CurrentTime);
  XDestroyWindow(display_, menu_);
  XFlush(display_);
  menu_ = 0;
  menuGrabbed_ = false;
}

int LinuxTray::menuItemAt(int x, int y) const {
  if (x < 0 || y < 0 || x >= menuWidth_ || y >= menuHeight_) return -1;
  const int top = (menuHeight_ - 2 * itemHeight_ - separatorHeight_) / 2;
  if (y >= top && y < top + itemHeight_) return 1;
  const int second = top + itemHeight_ + separatorHeight_;
  if (y >= second && y < second + itemHeight_) return 2;
  return 0;
}

void LinuxTray::drawMenu() {
  if (!menu_ || !menuDraw_) return;
  GC gc = XCreateGC(display_, menu_, 0, nullptr);
  XSetForeground(display_, gc, pixel(kMenuBackground));
  XFillRectangle(display_, menu_, gc, 0, 0, menuWidth_, menuHeight_);
  XftColor text = {};
  const XRenderColor textColour = {static_cast<unsigned short>(((kMenuText >> 16) & 0xFF) * 257),
                                   static_cast<unsigned short>(((kMenuText >> 8) & 0xFF) * 257),
                                   static_cast<unsigned short>((kMenuText & 0xFF) * 257), 0xFFFF};
  const bool haveText = XftColorAllocValue(display_, DefaultVisual(display_, screen_),
                                           DefaultColormap(display_, screen_), &textColour, &text);
  const int top = (menuHeight_ - 2 * itemHeight_ - separatorHeight_) / 2;
  const int rows[2] = {top, top + itemHeight_ + separatorHeight_};
  const char* labels[2] = {kTrayMenuShow, kTrayMenuExit};
  for (int i = 0; i < 2; ++i) {
    if (hoveredItem_ == i + 1) {
      XSetForeground(display_, gc, pixel(kMenuHover));
      XFillRectangle(display_, menu_, gc, 0, rows[i], menuWidth_, itemHeight_);
    }
    if (haveText) {
      const int baseline = rows[i] + (itemHeight_ + font_->ascent - font_->descent) / 2;
      XftDrawStringUtf8(menuDraw_, &text, font_, padding_, baseline, reinterpret_cast<const FcChar8*>(labels[i]),
                        static_cast<int>(std::strlen(labels[i])));
    }
  }
  XSetForeground(display_, gc, pixel(kMenuBorder));
  const int line = top + itemHeight_ + separatorHeight_ / 2;
  XDrawLine(display_, menu_, gc, padding_ / 2, line, menuWidth_ - padding_ / 2, line);
  if (haveText)
    XftColorFree(display_, DefaultVisual(display_, screen_), DefaultColormap(display_, screen_), &text);
  XFreeGC(display_, gc);
  XFlush(display_);
}

void LinuxTray::handle(const XEvent& event, std::vector<Action>& actions) {
  const auto lose = [&](bool wasDocked) {
    destroyIcon();
    if (wasDocked) actions.push_back(Action::Lost);
  };
  switch (event.type) {
    case ClientMessage:
      if (event.xclient.window == root_ && event.xclient.message_type == managerAtom_ &&
          static_cast<Atom>(event.xclient.data.l[1]) == trayAtom_)
        actions.push_back(Action::ManagerAppeared);
      break;
    case DestroyNotify:
      if (manager_ && event.xdestroywindow.window == manager_) {
        lose(docked());
      } else if (icon_ && event.xdestroywindow.window == icon_) {
        const bool wasDocked = docked();
        icon_ = 0;  // gone with a tray that did not keep it
        lose(wasDocked);
      }
      break;
    case ReparentNotify:
      // A tray that ends hands its icons back to the root window, where they
      // would show as a stray little window.
      if (icon_ && event.xreparent.window == icon_ && event.xreparent.parent == root_) lose(docked());
      break;
    case ConfigureNotify:
      if (icon_ && event.xconfigure.window == icon_ &&
          (event.xconfigure.width != iconWidth_ || event.xconfigure.height != iconHeight_)) {
        iconWidth_ = event.xconfigure.width;
        iconHeight_ = event.xconfigure.height;
        drawIcon();
      }
      break;
    case Expose:
      if (event.xexpose.count != 0) break;
      if (icon_ && event.xexpose.window == icon_) drawIcon();
      else if (menu_ && event.xexpose.window == menu_) drawMenu();
      break;
    case MotionNotify:
      if (menu_ && event.xmotion.window == menu_) {
        const int item = std::max(0, menuItemAt(event.xmotion.x, event.xmotion.y));
        if (item != hoveredItem_) {
          hoveredItem_ = item;
          drawMenu();
        }
      }
      break;
    case ButtonPress:
      if (menu_ && event.xbutton.window == menu_ && menuItemAt(event.xbutton.x, event.xbutton.y) < 0) closeMenu();
      break;
    case ButtonRelease:
      if (icon_ && event.xbutton.window == icon_) {
        if (event.xbutton.button == Button1) actions.push_back(Action::Show);
        else if (event.xbutton.button == Button3) openMenu(event.xbutton.x_root, event.xbutton.y_root);
      } else if (menu_ && event.xbutton.window == menu_) {
        const int item = menuItemAt(event.xbutton.x, event.xbutton.y);
        if (item == 0) break;  // the separator: the menu stays
        closeMenu();
        if (item == 1) actions.push_back(Action::Show);
        else if (item == 2) actions.push_back(Action::Exit);
      }
      break;
    case KeyPress:
      if (menu_ && XLookupKeysym(const_cast<XKeyEvent*>(&event.xkey), 0) == XK_Escape) closeMenu();
      break;
    default:
      break;
  }
}

void LinuxTray::pump(std::vector<Action>& actions) {
  if (!display_ || detail::x11DisplayLost(display_)) return;
  if (menu_ && !menuGrabbed_) {
    // Another client still held the pointer when the menu opened; a menu
    // that cannot see outside clicks would never close, so give up on it.
    menuGrabbed_ = grabForMenu();
    if (!menuGrabbed_ && ++menuGrabTries_ >= kMenuGrabTries) closeMenu();
  }
  while (!detail::x11DisplayLost(display_) && XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    handle(event, actions);
  }
}

int LinuxTray::waitHandle() const {
  if (!display_ || detail::x11DisplayLost(display_)) return -1;
  return ConnectionNumber(display_);
}

bool LinuxTray::pumpDue() const {
  if (!display_ || detail::x11DisplayLost(display_)) return false;
  return (menu_ && !menuGrabbed_) || XEventsQueued(display_, QueuedAlready) > 0;
}

}  // namespace vl
