// The font atlas: a Chinese font (with the symbol font merged) in six sizes,
// a monospace font and the optional project font families.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <imgui.h>

namespace vl {

struct FontFamily {
  std::string key;
  std::string displayName;
  bool chinese = false;
  bool shipped = false;
  ImFont* regular = nullptr;
  ImFont* bold = nullptr;
};

struct FontSet {
  ImFont* regular = nullptr;  // 15 px
  ImFont* small = nullptr;    // 13 px
  ImFont* tiny = nullptr;     // 12 px
  ImFont* large = nullptr;    // 22 px (the atlas's first font: the default)
  ImFont* medium = nullptr;   // 18 px
  ImFont* huge = nullptr;     // 32 px
  ImFont* mono = nullptr;     // 14 px, or small
  std::vector<FontFamily> families;
  bool chineseLoaded = false;
};

// The three role paths ("" when no candidate exists) and the face of each
// within its file (a .ttc holds several; fontconfig names the one it means).
struct FontPaths {
  std::string chinese;
  std::string mono;
  std::string symbols;
  int chineseIndex = 0;
  int monoIndex = 0;
  int symbolsIndex = 0;
};

// One project family: paths may start with "@" (the program's directory).
struct FontCatalogueRow {
  const char* key;
  const char* displayName;
  std::string regularPath;
  std::string boldPath;
  bool chinese;
  bool shipped;
};

// This platform's candidates, first existing file wins per role.
FontPaths findFontPaths();
// This platform's project family catalogue: the shipped "@fonts" rows, and
// on Windows the system rows in the Windows font directory.
std::vector<FontCatalogueRow> fontCatalogue();
// The Windows font directory (GetWindowsDirectoryW + "\\Fonts"); empty on
// Linux, where the catalogue's system fonts do not exist.
std::string systemFontDirectory();
// "@rest" is rest in the program's directory; other paths stay as they are.
std::string resolveFontPath(const std::string& path);
// The first candidate whose resolved path is an existing file (not a
// directory), resolved; "" when none is.
std::string firstExistingFont(const std::vector<std::string>& candidates);

// Glyphs every font carries: Latin, the common simplified Chinese set and
// every character of every text the program shows. Lives for the process.
const ImWchar* uiGlyphRanges();
// Every non-ASCII text of the program's sources (one UTF-8 string).
const char* uiTextCharacters();

// Atlas limit: what every Direct3D 11 device can sample (feature level 10).
inline constexpr int kMaxAtlasWidth = 4096;
inline constexpr int kMaxAtlasHeight = 8192;

// Builds the set into the current context's atlas and builds the atlas
// (so the renderer only uploads it); true when a Chinese font was loaded.
// Each font file is read once and shared by every size and merge. The
// project families (40 px) carry only Latin and the catalogue's display
// names: the whole Chinese set at that size would not fit the atlas. When
// the families would still push it past the limit they are left out.
// Logs through the Logger.
bool loadFonts(float scale, FontSet& set, bool loadFamilies, float sizeBlend);
// The same with the paths and catalogue given (tests).
bool loadFonts(float scale, FontSet& set, bool loadFamilies, float sizeBlend, const FontPaths& paths,
               const std::vector<FontCatalogueRow>& catalogue);

// Font files currently held in memory (tests).
std::size_t loadedFontFileCount();

// After the renderer uploaded the font texture: frees the atlas's input
// data and the font file buffers. The glyphs and the texture pixels stay;
// rebuildFontAtlas reads the files again.
void releaseFontSourceData();
// The same and the atlas's 8- and 32-bit pixel copies, once the renderer
// has its texture (no-op when already done): after this the CPU keeps only
// the glyph tables. The platform calls it after every drawn frame; true
// when it released something.
bool releaseFontAtlasMemory();

// ---- glyphs on demand ----
// The atlas carries the common set and the program's own texts; text from
// outside (Pad names, notices, reasons, the computer name, a typed address,
// log lines) may use any character the fonts have. Such text is noted where
// it enters the agent; the characters the atlas lacks and the Chinese or
// symbol font has wait for the next rebuild, which the platform runs
// between frames and follows by making the renderer's font texture again.
// Characters beyond U+FFFF, and those no loaded font has, keep the
// fallback glyph. UI thread only; does nothing before loadFonts.
void noteTextGlyphs(std::string_view utf8);
// Characters noted and not yet in the atlas.
std::size_t pendingGlyphCount();
// Whether a rebuild should run now: characters wait, growth has not hit the
// atlas limit, and the last rebuild is far enough past. The gap starts at
// kMinRebuildGapMs and doubles with each rebuild that follows another within
// kRebuildQuietMs, up to kMaxRebuildGapMs: a Pad sending new characters
// without end costs the UI thread one rebuild a minute, while an ordinary
// new name is drawn at the next frame.
bool fontAtlasRebuildDue(std::uint64_t nowMs);
inline constexpr std::uint64_t kMinRebuildGapMs = 2000;
inline constexpr std::uint64_t kMaxRebuildGapMs = 64000;
inline constexpr std::uint64_t kRebuildQuietMs = 600000;
// Builds the atlas again with the waiting characters (outside a frame);
// also restores released pixels for a recreated device. True when the atlas
// was built and the renderer must make its font texture again. When the
// new characters would push the atlas past the limit they are dropped, one
// warning is logged and growth stops.
bool rebuildFontAtlas(std::uint64_t nowMs);
// Rebuilds so far (tests, the log line).
int fontAtlasRebuildCount();

}  // namespace vl
