// The font atlas, platform-free: glyph ranges, the family catalogue, the
// font file store and the atlas itself. The platform files only find paths.
#include "agent/fonts.h"

#include <algorithm>
#include <bitset>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

// A private copy of the rasteriser's font parser: a face the atlas builder
// cannot open would fail (or, for a missing face index, abort) the build of
// the whole atlas, so every face is opened here first.
#define STBTT_STATIC
#define STB_TRUETYPE_IMPLEMENTATION
#include <stb_truetype.h>

#include <imgui_internal.h>  // ImTextCharFromUtf8

#include "log/helpers.h"
#include "log/log.h"

namespace vl {
namespace {

constexpr float kFamilyPixels = 40.0f;
constexpr float kMonoPixels = 14.0f;

struct CatalogueEntry {
  const char* key;
  const char* displayName;
  const char* regular;  // "@..." shipped, else a file of the Windows font directory
  const char* bold;
  bool chinese;
  bool shipped;
};

constexpr CatalogueEntry kCatalogue[] = {
    {"notosanssc", "思源黑体", "@fonts/notosanssc.ttf", "@fonts/notosanssc-bold.ttf", true, true},
    {"notoserifsc", "思源宋体", "@fonts/notoserifsc.ttf", "@fonts/notoserifsc-bold.ttf", true, true},
    {"yahei", "微软雅黑", "msyh.ttc", "msyhbd.ttc", true, false},
    {"yahei-l", "微软雅黑 Light", "msyhl.ttc", "msyhl.ttc", true, false},
    {"heiti", "黑体", "simhei.ttf", "simhei.ttf", true, false},
    {"songti", "宋体", "simsun.ttc", "simsunb.ttf", true, false},
    {"fangsong", "仿宋", "simfang.ttf", "simfang.ttf", true, false},
    {"kaiti", "楷体", "simkai.ttf", "simkai.ttf", true, false},
    {"lishu", "隶书", "SIMLI.TTF", "SIMLI.TTF", true, false},
    {"youyuan", "幼圆", "SIMYOU.TTF", "SIMYOU.TTF", true, false},
    {"deng", "等线", "Deng.ttf", "Dengb.ttf", true, false},
    {"deng-l", "等线 Light", "Dengl.ttf", "Dengl.ttf", true, false},
    {"stkaiti", "华文楷体", "STKAITI.TTF", "STKAITI.TTF", true, false},
    {"stxingka", "华文行楷", "STXINGKA.TTF", "STXINGKA.TTF", true, false},
    {"stsong", "华文宋体", "STSONG.TTF", "STSONG.TTF", true, false},
    {"stxihei", "华文细黑", "STXIHEI.TTF", "STXIHEI.TTF", true, false},
    {"sthupo", "华文琥珀", "STHUPO.TTF", "STHUPO.TTF", true, false},
    {"msjh", "微軟正黑體", "msjh.ttc", "msjhbd.ttc", true, false},
    {"arial", "Arial", "arial.ttf", "arialbd.ttf", false, false},
    {"arialn", "Arial Narrow", "arialn.ttf", "arialnb.ttf", false, false},
    {"times", "Times New Roman", "times.ttf", "timesbd.ttf", false, false},
    {"segoe", "Segoe UI", "segoeui.ttf", "segoeuib.ttf", false, false},
    {"tahoma", "Tahoma", "tahoma.ttf", "tahomabd.ttf", false, false},
    {"verdana", "Verdana", "verdana.ttf", "verdanab.ttf", false, false},
    {"consola", "Consolas", "consola.ttf", "consolab.ttf", false, false},
};

// ---- font files: read once, shared by every size and merge ----

struct FontFile {
  std::string path;
  std::string bytes;
  bool readable = false;
};

// Entries stay put (unique_ptr) because the atlas points into their bytes.
std::vector<std::unique_ptr<FontFile>>& fontFiles() {
  static std::vector<std::unique_ptr<FontFile>> files;
  return files;
}

// The file's bytes, read on first use; null when it cannot be read. A failed
// read is remembered too, so six sizes do not try six times.
FontFile* fontFile(const std::string& path) {
  for (const auto& file : fontFiles())
    if (file->path == path) return file->readable ? file.get() : nullptr;
  auto file = std::make_unique<FontFile>();
  file->path = path;
  file->readable = readWholeFile(path, file->bytes) && !file->bytes.empty() &&
                   file->bytes.size() <= static_cast<std::size_t>(INT_MAX);
  if (!file->readable) std::string().swap(file->bytes);
  fontFiles().push_back(std::move(file));
  return fontFiles().back()->readable ? fontFiles().back().get() : nullptr;
}

std::uint32_t be32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// stb_truetype trusts the offsets in the file; a truncated file must not make
// it read past the buffer.
bool tablesInsideFile(const std::string& bytes, std::uint32_t faceOffset) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::uint64_t size = bytes.size();
  if (std::uint64_t{faceOffset} + 12 > size) return false;
  const std::uint32_t tables = (std::uint32_t{data[faceOffset + 4]} << 8) | data[faceOffset + 5];
  if (std::uint64_t{faceOffset} + 12 + 16ull * tables > size) return false;
  for (std::uint32_t i = 0; i < tables; ++i) {
    const unsigned char* record = data + faceOffset + 12 + 16 * i;
    if (std::uint64_t{be32(record + 8)} + be32(record + 12) > size) return false;
  }
  return true;
}

// Whether the atlas builder can open face `index` of the file.
bool faceUsable(const std::string& bytes, int index) {
  if (bytes.size() < 12 || index < 0) return false;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  std::uint32_t faceOffset = 0;
  if (std::memcmp(data, "ttcf", 4) == 0) {
    const std::uint32_t faces = be32(data + 8);
    if (static_cast<std::uint32_t>(index) >= faces || 12ull + 4ull * (index + 1u) > bytes.size()) return false;
    faceOffset = be32(data + 12 + 4 * index);
  } else if (index != 0) {
    return false;
  }
  if (!tablesInsideFile(bytes, faceOffset)) return false;
  const int offset = stbtt_GetFontOffsetForIndex(data, index);
  stbtt_fontinfo info;
  return offset >= 0 && stbtt_InitFont(&info, data, offset) != 0;
}

// ---- glyph ranges ----

ImVector<ImWchar> buildRanges(bool chineseCommon, const std::vector<const char*>& texts,
                              const std::vector<ImWchar>& extra = {}) {
  ImFontAtlas scratch;  // the range tables are static; no context needed
  ImFontGlyphRangesBuilder builder;
  builder.AddRanges(scratch.GetGlyphRangesDefault());
  if (chineseCommon) builder.AddRanges(scratch.GetGlyphRangesChineseSimplifiedCommon());
  for (const char* text : texts) builder.AddText(text);
  for (ImWchar c : extra) builder.AddChar(c);
  ImVector<ImWchar> ranges;
  builder.BuildRanges(&ranges);
  return ranges;
}

// Latin and the display names of the catalogue in use; the atlas reads it
// when it builds, which loadFonts does before it returns.
const ImWchar* familyGlyphRanges(const std::vector<FontCatalogueRow>& catalogue) {
  static ImVector<ImWchar> ranges;
  std::vector<const char*> names;
  for (const FontCatalogueRow& row : catalogue) names.push_back(row.displayName);
  ranges = buildRanges(false, names);
  return ranges.Data;
}

// ---- building the set ----

class AtlasFiller {
 public:
  explicit AtlasFiller(ImFontAtlas* atlas) : atlas_(atlas) {
    // The library's defaults, except what keeps the atlas small and sharp
    // at 1:1 pixels. (The newer RasterizerDensity does not exist in 1.86;
    // the fonts are drawn at their own pixel size, i.e. density 1.)
    base_.PixelSnapH = false;
    base_.OversampleH = 1;
    base_.OversampleV = 1;
  }

  // Null when the file cannot be read or the face cannot be opened; a merge
  // joins the font added last.
  ImFont* add(const std::string& path, int index, float pixels, const ImWchar* ranges, bool merge) {
    if (path.empty()) return nullptr;
    FontFile* file = fontFile(path);
    if (!file || !faceUsable(file->bytes, index)) return nullptr;
    ImFontConfig config = base_;
    config.FontDataOwnedByAtlas = false;  // one buffer serves every size
    config.FontNo = index;
    config.MergeMode = merge;
    const std::size_t slash = path.find_last_of("\\/");
    std::snprintf(config.Name, sizeof config.Name, "%s, %.0fpx",
                  path.c_str() + (slash == std::string::npos ? 0 : slash + 1), pixels);
    return atlas_->AddFontFromMemoryTTF(file->bytes.data(), static_cast<int>(file->bytes.size()), pixels,
                                        &config, ranges);
  }

 private:
  ImFontAtlas* atlas_;
  ImFontConfig base_;
};

// Everything but the build and the log lines. catalogue null: no families.
void fillAtlas(ImFontAtlas* atlas, FontSet& set, const FontPaths& paths,
               const std::vector<FontCatalogueRow>* catalogue, float factor, const ImWchar* ranges) {
  atlas->Clear();
  set = FontSet{};
  AtlasFiller filler(atlas);

  struct Size {
    ImFont** slot;
    float pixels;
  };
  // large first: the atlas's first font is what the panel draws with.
  const Size sizes[] = {{&set.large, 22}, {&set.medium, 18}, {&set.regular, 15},
                        {&set.small, 13}, {&set.tiny, 12},   {&set.huge, 32}};
  for (const Size& size : sizes) {
    const float pixels = size.pixels * factor;
    *size.slot = filler.add(paths.chinese, paths.chineseIndex, pixels, ranges, false);
    // The first source with a glyph wins: the symbol font fills what the
    // Chinese font lacks.
    if (*size.slot) filler.add(paths.symbols, paths.symbolsIndex, pixels, ranges, true);
  }
  set.mono = filler.add(paths.mono, paths.monoIndex, kMonoPixels * factor, nullptr, false);
  if (!set.mono) set.mono = set.small;

  if (catalogue) {
    const ImWchar* familyRanges = familyGlyphRanges(*catalogue);
    auto loadFace = [&](const std::string& text) -> ImFont* {
      const std::string path = resolveFontPath(text);
      if (!fileExists(path)) return nullptr;
      ImFont* font = filler.add(path, 0, kFamilyPixels, familyRanges, false);
      if (!font) return nullptr;
      if (!paths.chinese.empty() && paths.chinese != path)
        filler.add(paths.chinese, paths.chineseIndex, kFamilyPixels, familyRanges, true);
      filler.add(paths.symbols, paths.symbolsIndex, kFamilyPixels, familyRanges, true);
      return font;
    };
    for (const FontCatalogueRow& row : *catalogue) {
      FontFamily family;
      family.key = row.key;
      family.displayName = row.displayName;
      family.chinese = row.chinese;
      family.shipped = row.shipped;
      family.regular = loadFace(row.regularPath);
      if (!family.regular) continue;
      if (row.boldPath != row.regularPath) family.bold = loadFace(row.boldPath);
      set.families.push_back(std::move(family));
    }
  }

  set.chineseLoaded = set.regular != nullptr;
  if (!set.regular) {
    ImFont* fallback = atlas->AddFontDefault();
    set.regular = set.small = set.tiny = set.large = set.medium = set.huge = set.mono = fallback;
  }
}

bool atlasTooLarge(const ImFontAtlas* atlas) {
  return atlas->TexWidth > kMaxAtlasWidth || atlas->TexHeight > kMaxAtlasHeight;
}

// ---- the atlas as last loaded, kept so it can be built again ----

constexpr std::size_t kBmp = 0x10000;  // 1.86's ImWchar is 16 bits wide

struct AtlasRecipe {
  bool loaded = false;
  ImFontAtlas* atlas = nullptr;
  FontSet* set = nullptr;
  FontPaths paths;
  std::vector<FontCatalogueRow> catalogue;
  bool families = false;  // asked for, and not yet dropped for size
  float factor = 1.0f;
  std::vector<ImWchar> added;  // characters taken in on demand
  // The program's set plus `added`; Build reads it. A std::vector: ImVector's
  // copy of an empty vector passes a null pointer to memcpy.
  std::vector<ImWchar> ranges;
  // Per character: the six sizes carry it / the Chinese or symbol font has it
  // / it waits for the next rebuild.
  std::bitset<kBmp> inAtlas;
  std::bitset<kBmp> inFonts;
  std::bitset<kBmp> waiting;
  std::vector<ImWchar> waitingList;  // the same, in arrival order
  bool growthStopped = false;
  std::uint64_t lastRebuildMs = 0;
  std::uint64_t gapMs = kMinRebuildGapMs;  // before the next rebuild may run
  bool rebuiltOnce = false;
  int rebuilds = 0;
};

AtlasRecipe& recipe() {
  static AtlasRecipe r;
  return r;
}

const ImWchar* sizeRanges(const AtlasRecipe& r) { return r.added.empty() ? uiGlyphRanges() : r.ranges.data(); }

void setRanges(AtlasRecipe& r) {
  const ImVector<ImWchar> built = buildRanges(true, {uiTextCharacters()}, r.added);
  r.ranges.assign(built.Data, built.Data + built.Size);
}

// Fills and builds the atlas from the recipe: the families are dropped (for
// good) when they push it past the limit, the built-in font stands in when
// the build fails.
bool buildFromRecipe(AtlasRecipe& r) {
  ImFontAtlas* atlas = r.atlas;
  FontSet& set = *r.set;
  fillAtlas(atlas, set, r.paths, r.families ? &r.catalogue : nullptr, r.factor, sizeRanges(r));
  bool built = atlas->Build();
  if (built && atlasTooLarge(atlas) && !set.families.empty()) {
    logWrite(LogLevel::Warn, "字体图集 %dx%d 超出 %dx%d，不加载工程字体族", atlas->TexWidth, atlas->TexHeight,
             kMaxAtlasWidth, kMaxAtlasHeight);
    r.families = false;
    fillAtlas(atlas, set, r.paths, nullptr, r.factor, sizeRanges(r));
    built = atlas->Build();
  }
  if (!built) {
    // Every face was opened beforehand, so this is not expected; the
    // built-in font still gives a working panel.
    logWrite(LogLevel::Warn, "字体图集生成失败，改用内置字体");
    fillAtlas(atlas, set, FontPaths{}, nullptr, r.factor, sizeRanges(r));
    atlas->Build();
  }
  return built;
}

void markRanges(std::bitset<kBmp>& bits, const ImWchar* ranges) {
  for (const ImWchar* p = ranges; p && p[0]; p += 2)
    for (std::size_t c = p[0]; c <= p[1] && c < kBmp; ++c) bits.set(c);
}

// Which characters the fonts the six sizes draw with have (read while the
// files are in memory).
void markCoverage(std::bitset<kBmp>& bits, const std::string& path, int index) {
  if (path.empty()) return;
  FontFile* file = fontFile(path);
  if (!file || !faceUsable(file->bytes, index)) return;
  const auto* data = reinterpret_cast<const unsigned char*>(file->bytes.data());
  stbtt_fontinfo info;
  if (!stbtt_InitFont(&info, data, stbtt_GetFontOffsetForIndex(data, index))) return;
  for (int c = 0x20; c < static_cast<int>(kBmp); ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;  // surrogates are not characters
    if (stbtt_FindGlyphIndex(&info, c) != 0) bits.set(static_cast<std::size_t>(c));
  }
}

}  // namespace

const char* uiTextCharacters() {
  static const char kText[] =
#include "ui_text_glyphs.inc"
      ;
  return kText;
}

const ImWchar* uiGlyphRanges() {
  static const ImVector<ImWchar> ranges = buildRanges(true, {uiTextCharacters()});
  return ranges.Data;
}

std::string resolveFontPath(const std::string& path) {
  if (path.empty() || path[0] != '@') return path;
  std::string rest = path.substr(1);
  for (char& c : rest)
    if (c == '/' || c == '\\') c = kPathSeparator;
  return joinPath(exeDirectory(), rest);
}

std::string firstExistingFont(const std::vector<std::string>& candidates) {
  for (const std::string& candidate : candidates) {
    std::string path = resolveFontPath(candidate);
    if (fileExists(path)) return path;
  }
  return {};
}

std::vector<FontCatalogueRow> fontCatalogue() {
  const std::string directory = systemFontDirectory();
  std::vector<FontCatalogueRow> rows;
  for (const CatalogueEntry& e : kCatalogue) {
    if (e.shipped) {
      rows.push_back({e.key, e.displayName, e.regular, e.bold, e.chinese, e.shipped});
    } else if (!directory.empty()) {
      rows.push_back({e.key, e.displayName, joinPath(directory, e.regular), joinPath(directory, e.bold), e.chinese,
                      e.shipped});
    }
  }
  return rows;
}

bool loadFonts(float scale, FontSet& set, bool loadFamilies, float sizeBlend) {
  const std::vector<FontCatalogueRow> catalogue = loadFamilies ? fontCatalogue() : std::vector<FontCatalogueRow>{};
  return loadFonts(scale, set, loadFamilies, sizeBlend, findFontPaths(), catalogue);
}

bool loadFonts(float scale, FontSet& set, bool loadFamilies, float sizeBlend, const FontPaths& paths,
               const std::vector<FontCatalogueRow>& catalogue) {
  ImFontAtlas* atlas = ImGui::GetIO().Fonts;
  // The texture is as high as the glyphs need, not the next power of two
  // (both renderers take any height): here about a third less memory.
  atlas->Flags |= ImFontAtlasFlags_NoPowerOfTwoHeight;
  const float s = scale > 0.0f ? scale : 1.0f;
  const std::uint64_t startMs = monotonicMs();

  AtlasRecipe& r = recipe();
  r = AtlasRecipe{};
  r.atlas = atlas;
  r.set = &set;
  r.paths = paths;
  r.families = loadFamilies;
  if (loadFamilies) r.catalogue = catalogue;
  r.factor = 1.0f + (s - 1.0f) * sizeBlend;
  buildFromRecipe(r);
  r.loaded = true;
  logWrite(LogLevel::Trace, "字体图集 %dx%d，%d 个字体，用时 %llu ms", atlas->TexWidth, atlas->TexHeight,
           atlas->Fonts.Size, static_cast<unsigned long long>(monotonicMs() - startMs));
  if (set.chineseLoaded) {
    markRanges(r.inAtlas, uiGlyphRanges());
    markCoverage(r.inFonts, paths.chinese, paths.chineseIndex);
    markCoverage(r.inFonts, paths.symbols, paths.symbolsIndex);
  }

  if (!set.families.empty()) {
    logWrite(LogLevel::Info, "工程字体族 %zu 个（基准 %.0fpx，中文回退=%s）", set.families.size(), kFamilyPixels,
             paths.chinese.empty() ? "无" : paths.chinese.c_str());
    logWrite(LogLevel::Info, "工程字体族 %zu 个（基准 %.0fpx）", set.families.size(), kFamilyPixels);
  }
  if (!set.chineseLoaded) {
    logWrite(LogLevel::Warn, "未找到中文字体，界面中文可能显示为方块");
    return false;
  }
  logWrite(LogLevel::Info, "字体加载完成: %s (scale=%.2f)", paths.chinese.c_str(), scale);
  return true;
}

void noteTextGlyphs(std::string_view utf8) {
  AtlasRecipe& r = recipe();
  if (!r.loaded || r.growthStopped || r.inFonts.none()) return;
  const char* p = utf8.data();
  const char* const end = p + utf8.size();
  while (p < end) {
    const auto byte = static_cast<unsigned char>(*p);
    if (byte < 0x80) {  // ASCII is always in the atlas
      ++p;
      continue;
    }
    unsigned c = 0;
    p += ImTextCharFromUtf8(&c, p, end);  // at least one byte; bad sequences give U+FFFD
    if (c >= kBmp || r.inAtlas.test(c) || r.waiting.test(c) || !r.inFonts.test(c)) continue;
    r.waiting.set(c);
    r.waitingList.push_back(static_cast<ImWchar>(c));
  }
}

std::size_t pendingGlyphCount() { return recipe().waitingList.size(); }

bool fontAtlasRebuildDue(std::uint64_t nowMs) {
  const AtlasRecipe& r = recipe();
  if (!r.loaded || r.growthStopped || r.waitingList.empty()) return false;
  return !r.rebuiltOnce || nowMs - r.lastRebuildMs >= r.gapMs;
}

bool rebuildFontAtlas(std::uint64_t nowMs) {
  AtlasRecipe& r = recipe();
  if (!r.loaded || !ImGui::GetCurrentContext() || ImGui::GetIO().Fonts != r.atlas || r.atlas->Locked) return false;
  ImFontAtlas* atlas = r.atlas;
  const bool pixelsGone = !atlas->TexPixelsAlpha8 && !atlas->TexPixelsRGBA32;
  if (r.waitingList.empty() && !pixelsGone) return false;
  const std::uint64_t startMs = monotonicMs();

  std::vector<ImWchar> batch;
  batch.swap(r.waitingList);
  r.waiting.reset();
  const std::size_t keep = r.added.size();
  r.added.insert(r.added.end(), batch.begin(), batch.end());
  setRanges(r);
  buildFromRecipe(r);
  if (atlasTooLarge(atlas) && !batch.empty()) {
    // The atlas stays what it was; later characters keep the fallback glyph.
    logWrite(LogLevel::Warn, "字体图集 %dx%d 超出 %dx%d，不再收录新的字符", atlas->TexWidth, atlas->TexHeight,
             kMaxAtlasWidth, kMaxAtlasHeight);
    r.growthStopped = true;
    r.added.resize(keep);
    setRanges(r);
    buildFromRecipe(r);
    batch.clear();
  }
  for (ImWchar c : batch) r.inAtlas.set(c);
  const bool inARow = r.rebuiltOnce && nowMs - r.lastRebuildMs < kRebuildQuietMs;
  r.gapMs = inARow ? std::min(r.gapMs * 2, kMaxRebuildGapMs) : kMinRebuildGapMs;
  r.lastRebuildMs = nowMs;
  r.rebuiltOnce = true;
  ++r.rebuilds;
  logWrite(LogLevel::Info, "字体图集新增 %zu 个字符（共 %zu 个），重建为 %dx%d，用时 %llu ms", batch.size(),
           r.added.size(), atlas->TexWidth, atlas->TexHeight,
           static_cast<unsigned long long>(monotonicMs() - startMs));
  return true;
}

int fontAtlasRebuildCount() { return recipe().rebuilds; }

void releaseFontSourceData() {
  if (ImGui::GetCurrentContext()) ImGui::GetIO().Fonts->ClearInputData();
  std::vector<std::unique_ptr<FontFile>>().swap(fontFiles());
}

bool releaseFontAtlasMemory() {
  if (!ImGui::GetCurrentContext()) return false;
  ImFontAtlas* atlas = ImGui::GetIO().Fonts;
  // Without a texture the next frame's backend would build the atlas from
  // nothing (the built-in font over stale glyph tables).
  if (atlas->Locked || !atlas->TexID) return false;
  bool released = false;
  if (atlas->TexPixelsAlpha8 || atlas->TexPixelsRGBA32) {
    atlas->ClearTexData();
    released = true;
  }
  if (!atlas->ConfigData.empty() || !fontFiles().empty()) {
    releaseFontSourceData();
    released = true;
  }
  return released;
}

std::size_t loadedFontFileCount() {
  std::size_t count = 0;
  for (const auto& file : fontFiles()) count += file->readable ? 1 : 0;
  return count;
}

}  // namespace vl
