// Colours, the theme, the UI scale and the font atlas, the atlas built from
// the font files this machine really has.
#include <gtest/gtest.h>

#include <imgui.h>
#include <imgui_internal.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "agent/fonts.h"
#include "agent/theme.h"
#include "log/helpers.h"
#include "support/test_support.h"

// 1.86's vectors have no comparison; gtest finds this one by argument lookup.
static bool operator==(const ImVec2& a, const ImVec2& b) { return a.x == b.x && a.y == b.y; }

namespace vl::test {
namespace {

void expectColour(const ImVec4& got, const ImVec4& want, const std::string& what) {
  for (int i = 0; i < 4; ++i) EXPECT_NEAR((&got.x)[i], (&want.x)[i], 1e-4) << what << " channel " << i;
}

TEST(HexColor, ReadsEveryFormAndFallsBackToWhite) {
  const ImVec4 accent(61 / 255.0f, 189 / 255.0f, 245 / 255.0f, 1.0f);
  const ImVec4 white(1, 1, 1, 1);
  const ImVec4 halfAccent(accent.x, accent.y, accent.z, 128 / 255.0f);
  const struct {
    const char* text;
    ImVec4 want;
  } cases[] = {
      {"#3DBDF5", accent}, {"3DBDF5", accent}, {" \t#3DBDF5\r\n", accent}, {"#3dbdf5", accent},
      {"#3DB", ImVec4(0.2f, 0.8667f, 0.7333f, 1.0f)},
      {"#3DBDF580", halfAccent}, {"#3DBDF580FFFF", halfAccent},  // characters after the alpha are ignored
      {"#3DBDF5zz", accent},                                       // a bad alpha pair keeps 1.0
      {"#12345", white}, {"#1234", white}, {"#12", white}, {"#", white}, {"", white},
      {"#3DG", white}, {"#3DBDG5", white}, {"##3DBDF5", white},  // only one hash is stripped
  };
  for (const auto& c : cases) expectColour(hexColor(c.text), c.want, std::string("\"") + c.text + "\"");
}

TEST(UiScale, DpiSourcesScaleAndTheStartUpClamp) {
  const struct {
    float dpi, scale, clamped;
  } cases[] = {{96, 1.0f, 1.0f}, {144, 1.5f, 1.5f}, {192, 2.0f, 2.0f}, {288, 3.0f, 2.5f},
               {72, 0.75f, 1.0f}, {71.9f, 1.0f, 1.0f}, {60, 1.0f, 1.0f}, {0, 1.0f, 1.0f}};
  for (const auto& c : cases) {
    EXPECT_FLOAT_EQ(scaleFromDpi(c.dpi), c.scale) << c.dpi;
    EXPECT_FLOAT_EQ(clampUiScale(scaleFromDpi(c.dpi)), c.clamped) << c.dpi;
  }
  EXPECT_FLOAT_EQ(clampUiScale(std::nanf("")), 1.0f);

  const struct {
    const char* resources;
    float dpi;
  } xft[] = {
      {"Xft.dpi:\t144\n", 144}, {"Xft.antialias:\t1\nXft.dpi:\t120\nXft.hinting:\t1\n", 120},
      {"Xft.dpi:\t96.5", 96.5f}, {"Xft.dpi:\t144\r\n", 144}, {"  Xft.dpi :  192  \n", 192},
      {"Xft.dpi:\t96\nXft.dpi:\t192\n", 192},  // the later entry wins
      {"Xft.dpi:\tabc\n", 0}, {"Xft.dpi:\t-96\n", 0}, {"Xft.dpi:\t1,5\n", 0}, {"Xft.dpi:\n", 0},
      {"Xft.dpix:\t144\n*dpi:\t144\n", 0}, {"", 0},
  };
  for (const auto& c : xft) EXPECT_FLOAT_EQ(dpiFromXResources(c.resources), c.dpi) << c.resources;
  EXPECT_FLOAT_EQ(dpiFromXResources(nullptr), 0.0f);

  EXPECT_NEAR(dpiFromPhysicalSize(2880, 508), 144.0f, 0.01f);
  for (const auto& [pixels, mm] : {std::pair{1920, 0}, {0, 300}, {-1920, 508}})  // projectors report 0 mm
    EXPECT_FLOAT_EQ(dpiFromPhysicalSize(pixels, mm), 0.0f) << pixels << "/" << mm;
}

#if !defined(_WIN32)
// The whole Linux query against a private server: its physical size first,
// then an Xft.dpi entry, which wins.
TEST(UiScale, ReadsTheXServer) {
  if (!haveProgram("Xvfb") || !haveProgram("xrdb")) GTEST_SKIP() << "Xvfb or xrdb missing";
  Xvfb xvfb;
  ASSERT_TRUE(xvfb.start(1920, 1080, {"-dpi", "144"}));
  const std::string saved = envValue("DISPLAY");
  const bool had = envExists("DISPLAY");
  ::setenv("DISPLAY", xvfb.display().c_str(), 1);
  EXPECT_NEAR(systemDpiScale(), 1.5f, 0.02f);
  TempDir dir;
  ASSERT_TRUE(writeWholeFile(dir.file("res"), std::string_view("Xft.dpi: 192\n")));
  ChildProcess xrdb = startProcess({"xrdb", "-nocpp", "-merge", dir.file("res")}, {{"DISPLAY", xvfb.display()}});
  ASSERT_EQ(waitProcess(xrdb, 10000), 0);
  EXPECT_FLOAT_EQ(systemDpiScale(), 2.0f);
  if (had) ::setenv("DISPLAY", saved.c_str(), 1);
  else ::unsetenv("DISPLAY");
}
#endif

class WithImGui : public ::testing::Test {
 protected:
  void SetUp() override { ImGui::CreateContext(); }
  void TearDown() override {
    releaseFontSourceData();
    ImGui::DestroyContext();
  }
};

using Theme = WithImGui;

TEST_F(Theme, SizesScaleAndColoursFollowTheTables) {
  ImGuiStyle& style = ImGui::GetStyle();
  style.Alpha = 0.5f;  // not ours: must survive
  applyTheme(2.0f);
  applyTheme(1.5f);    // sizes are set, not multiplied onto the last call's
  EXPECT_EQ(style.WindowPadding, ImVec2(21, 18));
  EXPECT_EQ(style.FrameRounding, 9.0f);
  EXPECT_EQ(style.WindowBorderSize, 1.5f);
  EXPECT_EQ(style.TabBorderSize, 0.0f);  // zeros and alignments are not scaled
  EXPECT_EQ(style.WindowTitleAlign, ImVec2(0, 0.5f));
  EXPECT_EQ(style.WindowMenuButtonPosition, ImGuiDir_None);
  EXPECT_EQ(style.Alpha, 0.5f);
  EXPECT_EQ(style.WindowMinSize, ImVec2(32, 32));
  const struct {
    ImGuiCol slot;
    ImVec4 want;
  } colours[] = {{ImGuiCol_WindowBg, hexColor("#12161C")}, {ImGuiCol_TitleBgCollapsed, hexColor("#171C24")},
                 {ImGuiCol_TabActive, hexColor("#6B4A12")},  {ImGuiCol_TabUnfocusedActive, hexColor("#5A3E10")},
                 {ImGuiCol_NavHighlight, hexColor("#3DBDF5")}, {ImGuiCol_TableRowBgAlt, ImVec4(1, 1, 1, 0.02f)},
                 {ImGuiCol_TextSelectedBg, ImVec4(61 / 255.0f, 189 / 255.0f, 245 / 255.0f, 0.32f)}};
  for (const auto& c : colours) expectColour(style.Colors[c.slot], c.want, ImGui::GetStyleColorName(c.slot));

  applyTheme(0.0f);  // a broken scale draws at 1:1 rather than with zero sizes
  EXPECT_EQ(style.WindowPadding, ImVec2(14, 12));
}

using Fonts = WithImGui;

std::vector<unsigned> uiCodePoints() {
  std::vector<unsigned> out;
  for (const char* p = uiTextCharacters(); *p;) {
    unsigned c = 0;
    p += ImTextCharFromUtf8(&c, p, nullptr);
    out.push_back(c);
  }
  return out;
}

// Debian's DejaVu file, or the copy linked next to the Windows tests.
std::string dejaVu(const char* name) {
  return firstExistingFont({std::string("/usr/share/fonts/truetype/dejavu/") + name, std::string("@fonts/") + name});
}

// Font files added for this font (itself and its merges).
int sourcesOf(const ImFont* font) {
  int n = 0;
  for (const ImFontConfig& config : ImGui::GetIO().Fonts->ConfigData) n += config.DstFont == font ? 1 : 0;
  return n;
}

TEST_F(Fonts, NoFontFilesGiveTheDefaultFontInEverySlot) {
  LogCapture log;
  FontSet set;
  EXPECT_FALSE(loadFonts(1.0f, set, true, 0.0f, FontPaths{}, {}));
  ImFontAtlas* atlas = ImGui::GetIO().Fonts;
  ASSERT_EQ(atlas->Fonts.Size, 1);
  for (ImFont* font : {set.regular, set.small, set.tiny, set.large, set.medium, set.huge, set.mono})
    EXPECT_EQ(font, atlas->Fonts[0]);
  EXPECT_FALSE(set.chineseLoaded);
  EXPECT_TRUE(atlas->IsBuilt());
  EXPECT_EQ(log.count("未找到中文字体，界面中文可能显示为方块"), 1);
  EXPECT_FALSE(log.contains("字体加载完成") || log.contains("工程字体族"));
}

// The atlas builder aborts on a face index the file lacks and fails the whole
// atlas on a file it cannot parse: such a file must count as a failed add.
TEST_F(Fonts, UnusableFontFileIsAFailedAdd) {
  const FontPaths real = findFontPaths();
  if (real.chinese.empty()) GTEST_SKIP() << "no Chinese font on this machine";
  TempDir dir;
  std::string bytes;
  ASSERT_TRUE(readWholeFile(real.chinese, bytes));
  ASSERT_TRUE(writeWholeFile(dir.file("truncated.ttc"), std::string_view(bytes).substr(0, 4096)));
  ASSERT_TRUE(writeWholeFile(dir.file("junk.ttf"), std::string(2000, 'x')));
  const std::pair<std::string, int> cases[] = {{dir.file("truncated.ttc"), 0}, {dir.file("junk.ttf"), 0},
                                                {real.chinese, 40}};  // a face the file lacks
  for (const auto& [path, index] : cases) {
    LogCapture log;
    FontPaths paths{path, "", "", index};
    FontSet set;
    EXPECT_FALSE(loadFonts(1.0f, set, false, 0.0f, paths, {})) << path;
    EXPECT_EQ(set.regular, ImGui::GetIO().Fonts->Fonts[0]);
    EXPECT_TRUE(log.contains("未找到中文字体"));
  }
}

TEST_F(Fonts, RealFontsCoverEveryCharacterTheProgramShows) {
  const FontPaths paths = findFontPaths();
  if (paths.chinese.empty()) GTEST_SKIP() << "no Chinese font on this machine";
  LogCapture log;
  FontSet set;
  // A catalogue is given but not asked for: no family may be read.
  const std::vector<FontCatalogueRow> catalogue = {{"c", "中文", paths.chinese, paths.chinese, true, false}};
  ASSERT_TRUE(loadFonts(1.0f, set, false, 0.0f, paths, catalogue));
  EXPECT_TRUE(set.chineseLoaded && set.families.empty());
  EXPECT_FALSE(log.contains("工程字体族"));
  EXPECT_EQ(log.count("字体加载完成: " + paths.chinese + " (scale=1.00)"), 1);

  ImFontAtlas* atlas = ImGui::GetIO().Fonts;
  EXPECT_EQ(atlas->Fonts[0], set.large);  // the panel's font
  const struct {
    ImFont* font;
    float size;
  } sizes[] = {{set.large, 22}, {set.medium, 18}, {set.regular, 15}, {set.small, 13}, {set.tiny, 12}, {set.huge, 32}};
  const std::vector<unsigned> codePoints = uiCodePoints();
  for (const auto& s : sizes) {
    ASSERT_NE(s.font, nullptr);
    EXPECT_EQ(s.font->FontSize, s.size);
    std::string missing;
    for (unsigned c : codePoints)
      if (!s.font->FindGlyphNoFallback(static_cast<ImWchar>(c))) missing += formatString(" U+%04X", c);
    EXPECT_EQ(missing, "") << s.size << " px font lacks glyphs";
    EXPECT_NE(s.font->FindGlyphNoFallback(0x7684), nullptr);  // 的: the common set, not only our texts
  }
  // The proportional face, not the monospaced one a collection may also hold.
  EXPECT_LT(set.regular->FindGlyph('i')->AdvanceX, set.regular->FindGlyph('W')->AdvanceX);
  EXPECT_EQ(set.mono->FontSize, paths.mono.empty() ? 13.0f : 14.0f);
}

// The catalogue's behaviour, and a Windows machine with every catalogue font
// (25 families, regular and bold, each with Chinese and symbols merged)
// staying within the atlas limit.
TEST_F(Fonts, FamiliesShareFilesMergeChineseUnlessTheyAreItAndFitTheAtlas) {
  FontPaths paths = findFontPaths();
  paths.symbols = dejaVu("DejaVuSans.ttf");
  const std::string mono = dejaVu("DejaVuSansMono.ttf");
  if (paths.chinese.empty() || paths.symbols.empty() || mono.empty()) GTEST_SKIP() << "fonts missing";
  std::vector<FontCatalogueRow> catalogue = {
      {"self", "文泉驿", paths.chinese, paths.chinese, true, false},  // like "yahei" on msyh.ttc
      {"gone", "缺失", "@fonts/not-shipped.ttf", "@fonts/not-shipped-bold.ttf", true, true},
  };
  for (const char* name : {"思源黑体", "思源宋体", "微软雅黑", "微软雅黑 Light", "黑体", "宋体", "仿宋", "楷体", "隶书",
                           "幼圆", "等线", "等线 Light", "华文楷体", "华文行楷", "华文宋体", "华文细黑", "华文琥珀",
                           "微軟正黑體", "Arial", "Arial Narrow", "Times New Roman", "Segoe UI", "Tahoma", "Verdana",
                           "Consolas"})
    catalogue.push_back({name, name, mono, paths.symbols, false, false});
  LogCapture log;
  FontSet set;
  ASSERT_TRUE(loadFonts(1.0f, set, true, 0.0f, paths, catalogue));
  ImFontAtlas* atlas = ImGui::GetIO().Fonts;
  EXPECT_LE(atlas->TexWidth, kMaxAtlasWidth);
  EXPECT_LE(atlas->TexHeight, kMaxAtlasHeight);
  ASSERT_EQ(set.families.size(), 26u);
  const FontFamily& self = set.families[0];
  const FontFamily& other = set.families[1];
  EXPECT_EQ(self.bold, nullptr);
  EXPECT_EQ(self.regular->FontSize, 40.0f);
  EXPECT_EQ(sourcesOf(self.regular), 2);   // itself and the symbols, not itself again
  EXPECT_EQ(sourcesOf(other.bold), 3);     // plus the Chinese font
  EXPECT_NE(other.regular->FindGlyphNoFallback(0x7B49), nullptr);  // 等 of a display name
  EXPECT_EQ(other.regular->FindGlyphNoFallback(0x7684), nullptr);  // 的: not carried at 40 px
  EXPECT_EQ(log.count("工程字体族 26 个（基准 40px，中文回退=" + paths.chinese + "）"), 1);
  EXPECT_EQ(log.count("工程字体族 26 个（基准 40px）"), 1);
  EXPECT_EQ(loadedFontFileCount(), 3u);  // Chinese, DejaVu Sans, DejaVu Sans Mono: each once

  releaseFontSourceData();
  EXPECT_EQ(loadedFontFileCount(), 0u);
  EXPECT_TRUE(atlas->ConfigData.empty() && atlas->IsBuilt() && atlas->TexPixelsAlpha8);
  EXPECT_NE(set.regular->FindGlyphNoFallback(0x4E2D), nullptr);
}

// Whether all six sizes the panel draws with carry c.
bool everySizeHas(const FontSet& set, unsigned c) {
  for (const ImFont* font : {set.large, set.medium, set.regular, set.small, set.tiny, set.huge})
    if (!font->FindGlyphNoFallback(static_cast<ImWchar>(c))) return false;
  return true;
}

std::vector<unsigned> codePointsOf(const std::string& text) {
  std::vector<unsigned> out;
  for (const char* p = text.c_str(); *p;) {
    unsigned c = 0;
    p += ImTextCharFromUtf8(&c, p, nullptr);
    if (c >= 0x80) out.push_back(c);
  }
  return out;
}

// Text from outside with characters beyond the common set: one rebuild
// takes a whole batch in; what no font has, or what is already there, or
// what a 16-bit atlas cannot hold, costs nothing.
TEST_F(Fonts, OutsideTextJoinsTheAtlasInOneRebuildBetweenFrames) {
  FontPaths paths = findFontPaths();
  paths.symbols = dejaVu("DejaVuSans.ttf");
  if (paths.chinese.empty()) GTEST_SKIP() << "no Chinese font on this machine";
  FontSet set;
  ASSERT_TRUE(loadFonts(1.0f, set, false, 0.0f, paths, {}));
  const std::string texts[] = {
      "展覽廳中控",                      // a Pad's name: 覽 廳 are traditional
      "Pad 端提示: 臺北 さくら会議室",   // a notice: traditional and Japanese
      "被 Pad 端断开: 김민준 님이 연결을 끊었습니다",  // a kick's reason in Korean
      "plain ASCII, 中文 已有",          // nothing new
      "\xEE\x80\x80 private use: no font has it",
      "\xF0\x9F\x98\x80 beyond U+FFFF",
      "\xE5\xBB broken \xFF\xFE bytes",
      "展覽廳中控",  // the same name again
  };
  std::vector<unsigned> expected;
  LogCapture log;
  for (const std::string& text : texts) {
    for (unsigned cp : codePointsOf(text))
      if (cp < 0x10000 && cp != 0xE000 && cp != 0xFFFD && !everySizeHas(set, cp) &&
          std::find(expected.begin(), expected.end(), cp) == expected.end())
        expected.push_back(cp);
    noteTextGlyphs(text);
    EXPECT_EQ(pendingGlyphCount(), expected.size()) << text;
  }
  ASSERT_GE(expected.size(), 12u);  // 覽 廳 臺 さ く ら 議 and the Korean syllables

  const int before = fontAtlasRebuildCount();
  EXPECT_TRUE(fontAtlasRebuildDue(100000));
  ImGui::GetIO().Fonts->Locked = true;  // inside a frame: never
  EXPECT_FALSE(rebuildFontAtlas(100000));
  ImGui::GetIO().Fonts->Locked = false;
  ASSERT_TRUE(rebuildFontAtlas(100000));
  EXPECT_EQ(fontAtlasRebuildCount(), before + 1);
  EXPECT_EQ(log.count("字体图集新增 " + std::to_string(expected.size()) + " 个字符"), 1);
  std::string missing;
  for (unsigned cp : expected)
    if (!everySizeHas(set, cp)) missing += formatString(" U+%04X", cp);
  EXPECT_EQ(missing, "");
  EXPECT_TRUE(everySizeHas(set, 0x4E2D) && everySizeHas(set, 0x7684));  // the common set stays
  EXPECT_EQ(ImGui::GetIO().Fonts->Fonts[0], set.large);
  EXPECT_EQ(set.regular->FindGlyphNoFallback(0xE000), nullptr);  // still the fallback glyph
  EXPECT_EQ(pendingGlyphCount(), 0u);
  EXPECT_FALSE(fontAtlasRebuildDue(100000));

  noteTextGlyphs("展覽廳中控 김민준");  // known now: nothing waits
  EXPECT_EQ(pendingGlyphCount(), 0u);
  // New characters without end: the gap doubles with each rebuild in a
  // row, and after a quiet spell it is short again.
  const struct {
    const char* text;
    std::uint64_t gapMs;  // before this rebuild may run
  } stream[] = {{"鑫", 2000}, {"淼", 4000}, {"犇", 8000}};
  std::uint64_t now = 100000;
  for (const auto& s : stream) {
    noteTextGlyphs(s.text);
    EXPECT_EQ(pendingGlyphCount(), 1u);
    EXPECT_FALSE(fontAtlasRebuildDue(now + s.gapMs - 1)) << s.text;
    now += s.gapMs;
    EXPECT_TRUE(fontAtlasRebuildDue(now)) << s.text;
    ASSERT_TRUE(rebuildFontAtlas(now));
  }
  noteTextGlyphs("骉");
  EXPECT_FALSE(fontAtlasRebuildDue(now + 16000 - 1));
  ASSERT_TRUE(rebuildFontAtlas(now + kRebuildQuietMs));  // after a quiet spell
  noteTextGlyphs("羴");
  EXPECT_TRUE(fontAtlasRebuildDue(now + kRebuildQuietMs + kMinRebuildGapMs));
}

// Once the renderer has its texture the CPU copies go; a recreated device
// gets them back with every character taken in so far.
TEST_F(Fonts, PixelsAreReleasedAfterUploadAndMadeAgainForANewDevice) {
  const FontPaths paths = findFontPaths();
  if (paths.chinese.empty()) GTEST_SKIP() << "no Chinese font on this machine";
  FontSet set;
  ASSERT_TRUE(loadFonts(1.0f, set, false, 0.0f, paths, {}));
  ImFontAtlas* atlas = ImGui::GetIO().Fonts;
  noteTextGlyphs("廳");
  ASSERT_TRUE(rebuildFontAtlas(1));
  unsigned char* pixels = nullptr;
  int w = 0, h = 0;
  atlas->GetTexDataAsRGBA32(&pixels, &w, &h);  // what a backend uploads
  EXPECT_FALSE(releaseFontAtlasMemory());      // no texture yet: kept for the backend
  EXPECT_TRUE(atlas->TexPixelsAlpha8 && atlas->TexPixelsRGBA32);
  atlas->SetTexID(reinterpret_cast<ImTextureID>(1));
  EXPECT_TRUE(releaseFontAtlasMemory());
  EXPECT_FALSE(releaseFontAtlasMemory());  // nothing left to release
  EXPECT_TRUE(!atlas->TexPixelsAlpha8 && !atlas->TexPixelsRGBA32 && atlas->ConfigData.empty());
  EXPECT_EQ(loadedFontFileCount(), 0u);
  EXPECT_TRUE(atlas->IsBuilt() && everySizeHas(set, 0x5EF3));  // the glyph tables stay

  atlas->SetTexID(nullptr);  // the device went away with its texture
  ASSERT_TRUE(rebuildFontAtlas(2));  // from the files again
  EXPECT_TRUE(atlas->TexPixelsAlpha8 != nullptr);
  EXPECT_TRUE(everySizeHas(set, 0x5EF3) && everySizeHas(set, 0x4E2D));
  EXPECT_FALSE(rebuildFontAtlas(3));  // pixels there, nothing new: nothing to do
}

TEST(FontSearch, FirstExistingFileWinsAndAtMeansTheProgramsDirectory) {
  TempDir dir;
  ASSERT_TRUE(createDirectories(dir.file("folder.ttf")));
  ASSERT_TRUE(writeWholeFile(dir.file("b.ttf"), std::string_view("x")));
  ASSERT_TRUE(writeWholeFile(dir.file("c.ttf"), std::string_view("x")));
  EXPECT_EQ(firstExistingFont({dir.file("a.ttf"), dir.file("folder.ttf"), dir.file("b.ttf"), dir.file("c.ttf")}),
            dir.file("b.ttf"));
  EXPECT_EQ(resolveFontPath("@fonts/x.ttf"), exeDirectory() + "fonts" + kPathSeparator + "x.ttf");
  EXPECT_EQ(resolveFontPath(dir.file("b.ttf")), dir.file("b.ttf"));
}

TEST(FontSearch, CatalogueHoldsThisPlatformsRows) {
  const std::vector<FontCatalogueRow> rows = fontCatalogue();
  const std::string system = systemFontDirectory();
  ASSERT_EQ(rows.size(), system.empty() ? 2u : 25u);
  if (system.empty()) return;
  EXPECT_EQ(system.substr(system.size() - 6), "\\Fonts");
  EXPECT_EQ(rows[2].regularPath, system + "\\msyh.ttc");  // yahei
  EXPECT_EQ(rows[24].boldPath, system + "\\consolab.ttf");
}

}  // namespace
}  // namespace vl::test
