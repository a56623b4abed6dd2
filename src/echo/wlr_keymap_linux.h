// The virtual keyboard's keymap for the wlroots back end: the usual evdev
// "us" layout for virtual keys, plus keycodes the layout leaves empty bound
// to whatever other characters typed text needs (the keymap is sent again
// whenever those bindings change).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vl::wlr {

// A keycode of the base keymap bound to one keysym. `name` is the key's
// name in the base keymap; empty when it has none (one is made up).
struct SpareBinding {
  std::uint32_t keycode = 0;  // xkb keycode (evdev + 8)
  std::string name;
  std::uint32_t keysym = 0;
};

// The base keymap text with the bindings added to its keycodes and symbols
// sections.
std::string keymapWithBindings(std::string_view base, const std::vector<SpareBinding>& bindings);

// Modifier state as zwp_virtual_keyboard_v1.modifiers carries it.
struct KeyMods {
  std::uint32_t depressed = 0, latched = 0, locked = 0, group = 0;
  bool operator==(const KeyMods&) const = default;
};

// One thread only.
class Keyboard {
 public:
  Keyboard();
  ~Keyboard();
  Keyboard(const Keyboard&) = delete;
  Keyboard& operator=(const Keyboard&) = delete;

  // Compiles the base keymap; false when xkbcommon cannot (no layout data).
  bool init();
  const std::string& keymapText() const { return text_; }

  // How to type a keysym: its keycode (0: none), with Shift held when
  // `shift`. With allowSpare, a keysym the layout lacks is bound to a spare
  // keycode, and keymapChanged says the keymap text must be sent again.
  struct Stroke {
    std::uint32_t keycode = 0;
    bool shift = false;
    bool keymapChanged = false;
  };
  Stroke forKeysym(std::uint32_t keysym, bool allowSpare);
  std::uint32_t shiftKeycode() const { return shiftKeycode_; }

  // Follows a key through the modifier state; true when the modifiers
  // changed (the compositor needs them told: virtual key events do not
  // update its state).
  bool noteKey(std::uint32_t keycode, bool down, KeyMods& mods);

 private:
  bool compile(const std::string& text);
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string base_;
  std::string text_;
  std::uint32_t shiftKeycode_ = 0;
};

}  // namespace vl::wlr
