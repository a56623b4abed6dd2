// The tray icon on Linux: a freedesktop system-tray (XEmbed) icon on an X
// connection of its own, and the small menu of its right click. Only the UI
// thread uses it; pump() never blocks.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xft/Xft.h>

#include <string>
#include <vector>

namespace vl {

class LinuxTray {
 public:
  enum class Action {
    Show,            // left click, or the menu's "显示主界面"
    Exit,            // the menu's "退出"
    ManagerAppeared, // a tray (re)started: the TaskbarCreated of this desktop
    Lost,            // the tray that held the icon went away
  };

  LinuxTray() = default;
  ~LinuxTray() { close(); }
  LinuxTray(const LinuxTray&) = delete;
  LinuxTray& operator=(const LinuxTray&) = delete;

  // Opens the connection; false without an X server. scale sizes the menu.
  bool open(float scale);
  // Takes the icon out of the tray and closes the connection.
  void close();

  // Hands a new icon to the current tray; false when there is none or it
  // refused the request.
  bool dock();
  bool docked() const { return icon_ != 0 && manager_ != 0; }

  // Handles whatever arrived; appends what the window has to act on.
  void pump(std::vector<Action>& actions);

  bool menuOpen() const { return menu_ != 0; }
  // For a loop that sleeps between pumps: the connection to watch (-1: none,
  // or lost), and whether pump() must run soon whatever arrives (events
  // already read from the socket, or a menu still trying for its grab).
  int waitHandle() const;
  bool pumpDue() const;

 private:
  void destroyIcon();
  void drawIcon();
  void openMenu(int rootX, int rootY);
  void closeMenu();
  void drawMenu();
  bool grabForMenu();
  int menuItemAt(int x, int y) const;  // item 1 or 2; 0 between them; -1 outside
  unsigned long pixel(unsigned rgb);
  void handle(const XEvent& event, std::vector<Action>& actions);

  Display* display_ = nullptr;
  int screen_ = 0;
  Window root_ = 0;
  float scale_ = 1.0f;
  Atom trayAtom_ = 0, opcodeAtom_ = 0, managerAtom_ = 0, xembedInfoAtom_ = 0, trayVisualAtom_ = 0;
  Atom wmNameAtom_ = 0, utf8Atom_ = 0, windowTypeAtom_ = 0, popupMenuTypeAtom_ = 0;

  Window manager_ = 0;
  Window icon_ = 0;
  Visual* iconVisual_ = nullptr;
  int iconDepth_ = 0;
  Colormap iconColormap_ = 0;  // ours when the tray asked for its own visual
  int iconWidth_ = 0, iconHeight_ = 0;

  Window menu_ = 0;
  bool menuGrabbed_ = false;
  int menuGrabTries_ = 0;
  int menuWidth_ = 0, menuHeight_ = 0, itemHeight_ = 0, separatorHeight_ = 0, padding_ = 0;
  int hoveredItem_ = 0;
  XftFont* font_ = nullptr;
  XftDraw* menuDraw_ = nullptr;
};

}  // namespace vl
