#include "echo/wlr_keymap_linux.h"

#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace vl::wlr {

namespace {

// Inserts `lines` before the line "};" that closes the section whose
// header starts with `section`.
void insertIntoSection(std::string& text, std::string_view section, const std::string& lines) {
  const std::size_t start = text.find(section);
  if (start == std::string::npos) return;
  const std::size_t end = text.find("\n};", start);
  if (end == std::string::npos) return;
  text.insert(end + 1, lines);
}

std::string keysymName(std::uint32_t keysym) {
  char name[64];
  if (xkb_keysym_get_name(keysym, name, sizeof name) > 0) return name;
  std::snprintf(name, sizeof name, "0x%08x", keysym);
  return name;
}

std::string madeUpName(std::uint32_t keycode) {
  char name[16];
  std::snprintf(name, sizeof name, "V%03u", keycode % 1000u);
  return name;
}

}  // namespace

std::string keymapWithBindings(std::string_view base, const std::vector<SpareBinding>& bindings) {
  std::string text(base);
  std::string codes, symbols;
  for (const SpareBinding& b : bindings) {
    const std::string name = b.name.empty() ? madeUpName(b.keycode) : b.name;
    if (b.name.empty()) codes += "\t<" + name + "> = " + std::to_string(b.keycode) + ";\n";
    // Both levels, so a Shift held for another key does not change it.
    const std::string sym = keysymName(b.keysym);
    symbols += "\tkey <" + name + "> { [ " + sym + ", " + sym + " ] };\n";
  }
  if (!codes.empty()) insertIntoSection(text, "xkb_keycodes", codes);
  if (!symbols.empty()) insertIntoSection(text, "xkb_symbols", symbols);
  return text;
}

struct Keyboard::Impl {
  xkb_context* context = nullptr;
  xkb_keymap* keymap = nullptr;
  xkb_state* state = nullptr;
  struct Place {
    std::uint32_t keycode;
    bool shift;
  };
  std::map<std::uint32_t, Place> places;  // keysyms of the base layout
  std::vector<SpareBinding> spares;       // empty keycodes of the base layout
  std::vector<SpareBinding> bound;        // those in use, keysym set
  std::size_t nextSpare = 0;

  ~Impl() {
    if (state != nullptr) xkb_state_unref(state);
    if (keymap != nullptr) xkb_keymap_unref(keymap);
    if (context != nullptr) xkb_context_unref(context);
  }
};

Keyboard::Keyboard() : impl_(std::make_unique<Impl>()) {}
Keyboard::~Keyboard() = default;

bool Keyboard::compile(const std::string& text) {
  xkb_keymap* keymap =
      xkb_keymap_new_from_string(impl_->context, text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
  if (keymap == nullptr) return false;
  xkb_state* state = xkb_state_new(keymap);
  if (state == nullptr) {
    xkb_keymap_unref(keymap);
    return false;
  }
  if (impl_->state != nullptr) xkb_state_unref(impl_->state);
  if (impl_->keymap != nullptr) xkb_keymap_unref(impl_->keymap);
  impl_->keymap = keymap;
  impl_->state = state;
  text_ = text;
  return true;
}

bool Keyboard::init() {
  impl_->context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
  if (impl_->context == nullptr) return false;
  const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
  xkb_keymap* keymap = xkb_keymap_new_from_names(impl_->context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
  if (keymap == nullptr) return false;
  char* text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
  if (text != nullptr) base_ = text;
  std::free(text);
  // Keycodes above 255 are out of reach of X clients under XWayland, so
  // spares come from the classic range only.
  const xkb_keycode_t last = std::min<xkb_keycode_t>(xkb_keymap_max_keycode(keymap), 255);
  for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap); code <= last; ++code) {
    bool any = false;
    for (xkb_level_index_t level = 0; level < 2; ++level) {
      const xkb_keysym_t* syms = nullptr;
      const int n = xkb_keymap_key_get_syms_by_level(keymap, code, 0, level, &syms);
      if (n < 1) continue;
      any = true;
      impl_->places.try_emplace(syms[0], Impl::Place{code, level == 1});
    }
    // Keycode 8 is X's lowest and not a key.
    if (!any && code > 8) {
      const char* name = xkb_keymap_key_get_name(keymap, code);
      impl_->spares.push_back({code, name != nullptr ? name : "", 0});
    }
  }
  xkb_keymap_unref(keymap);
  if (const auto it = impl_->places.find(XKB_KEY_Shift_L); it != impl_->places.end())
    shiftKeycode_ = it->second.keycode;
  return !base_.empty() && compile(base_);
}

Keyboard::Stroke Keyboard::forKeysym(std::uint32_t keysym, bool allowSpare) {
  Stroke s;
  if (keysym == 0 || impl_->keymap == nullptr) return s;
  if (const auto it = impl_->places.find(keysym); it != impl_->places.end()) {
    s.keycode = it->second.keycode;
    s.shift = it->second.shift;
    return s;
  }
  for (const SpareBinding& b : impl_->bound)
    if (b.keysym == keysym) {
      s.keycode = b.keycode;
      return s;
    }
  if (!allowSpare || impl_->spares.empty()) return s;
  // Round robin over the spares, so the characters of one text keep
  // distinct keycodes as long as there are enough.
  SpareBinding binding = impl_->spares[impl_->nextSpare++ % impl_->spares.size()];
  binding.keysym = keysym;
  std::erase_if(impl_->bound, [&](const SpareBinding& b) { return b.keycode == binding.keycode; });
  impl_->bound.push_back(binding);
  if (!compile(keymapWithBindings(base_, impl_->bound))) {
    impl_->bound.pop_back();
    return s;
  }
  s.keycode = binding.keycode;
  s.keymapChanged = true;
  return s;
}

bool Keyboard::noteKey(std::uint32_t keycode, bool down, KeyMods& mods) {
  if (impl_->state == nullptr) return false;
  xkb_state_update_key(impl_->state, keycode, down ? XKB_KEY_DOWN : XKB_KEY_UP);
  const KeyMods now{xkb_state_serialize_mods(impl_->state, XKB_STATE_MODS_DEPRESSED),
                    xkb_state_serialize_mods(impl_->state, XKB_STATE_MODS_LATCHED),
                    xkb_state_serialize_mods(impl_->state, XKB_STATE_MODS_LOCKED),
                    xkb_state_serialize_layout(impl_->state, XKB_STATE_LAYOUT_EFFECTIVE)};
  if (now == mods) return false;
  mods = now;
  return true;
}

}  // namespace vl::wlr
