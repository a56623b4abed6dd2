#include "pipeline_scene.h"

#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#endif

namespace vl::bench {
namespace {

// BGRX rows, the layout both GDI and a 24-bit X server take.
std::vector<std::uint8_t> toBgrx(const PixelFrame& picture) {
  std::vector<std::uint8_t> bgrx(picture.pixels.size());
  for (std::size_t i = 0; i < bgrx.size(); i += 4) {
    bgrx[i] = picture.pixels[i + 2];
    bgrx[i + 1] = picture.pixels[i + 1];
    bgrx[i + 2] = picture.pixels[i];
    bgrx[i + 3] = 0;
  }
  return bgrx;
}

#if defined(_WIN32)
HWND gWindow = nullptr;
std::vector<std::uint8_t> gBgrx;
int gWidth = 0, gHeight = 0;

LRESULT CALLBACK sceneProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = gWidth;
    info.bmiHeader.biHeight = -gHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    SetDIBitsToDevice(dc, 0, 0, gWidth, gHeight, 0, 0, 0, gHeight, gBgrx.data(), &info, DIB_RGB_COLORS);
    EndPaint(hwnd, &ps);
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}
#endif

}  // namespace

#if defined(_WIN32)
bool showPicture(const PixelFrame& picture) {
  hidePicture();
  gBgrx = toBgrx(picture);
  gWidth = picture.width;
  gHeight = picture.height;
  WNDCLASSW wc{};
  wc.lpfnWndProc = sceneProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"VlBenchScene";
  RegisterClassW(&wc);
  gWindow = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"", WS_POPUP | WS_VISIBLE, 0, 0, gWidth, gHeight,
                            nullptr, nullptr, wc.hInstance, nullptr);
  if (!gWindow) return false;
  UpdateWindow(gWindow);
  for (int i = 0; i < 20; ++i) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(25);
  }
  return true;
}

void hidePicture() {
  if (gWindow) DestroyWindow(gWindow);
  gWindow = nullptr;
}
#else
bool showPicture(const PixelFrame& picture) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  const int screen = DefaultScreen(display);
  if (DefaultDepth(display, screen) != 24) {
    XCloseDisplay(display);
    return false;
  }
  std::vector<std::uint8_t> bgrx = toBgrx(picture);
  XImage* image = XCreateImage(display, DefaultVisual(display, screen), 24, ZPixmap, 0,
                               reinterpret_cast<char*>(bgrx.data()), static_cast<unsigned>(picture.width),
                               static_cast<unsigned>(picture.height), 32, picture.width * 4);
  const Window root = RootWindow(display, screen);
  GC gc = XCreateGC(display, root, 0, nullptr);
  XPutImage(display, root, gc, image, 0, 0, 0, 0, static_cast<unsigned>(picture.width),
            static_cast<unsigned>(picture.height));
  XSync(display, False);
  XFreeGC(display, gc);
  image->data = nullptr;  // owned by the vector
  XDestroyImage(image);
  XCloseDisplay(display);
  return true;
}

void hidePicture() {}
#endif

}  // namespace vl::bench
