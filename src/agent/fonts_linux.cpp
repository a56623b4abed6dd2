// Font paths on Linux: fontconfig for the Chinese face (the Noto CJK
// collection holds five languages; only fontconfig knows which face is SC),
// Debian's own paths for the rest and as the fallback, then fonts shipped
// next to the program.
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <tuple>

#include "agent/fonts.h"
#include "log/helpers.h"

namespace vl {
namespace {

constexpr char kNotoCjk[] = "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc";
constexpr char kWqyMicroHei[] = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc";
constexpr char kWqyZenHei[] = "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc";
constexpr char kDejaVuSansMono[] = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
constexpr char kDejaVuSans[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr char kNotoSansCjkSc[] = "Noto Sans CJK SC";

constexpr FcChar32 kZhong = 0x4E2D;  // 中
constexpr FcChar32 kBlackCircle = 0x25CF;
constexpr FcChar32 kRightArrow = 0x2192;

struct Face {
  std::string path;
  int index = 0;
};

// Containers the atlas builder reads (TrueType/OpenType, single or
// collection); fontconfig also lists bitmap and Type 1 fonts.
bool builderReadsFile(const std::string& path) {
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos) return false;
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == "ttf" || ext == "ttc" || ext == "otf" || ext == "otc";
}

bool hasFamily(FcPattern* pattern, const char* family) {
  FcChar8* value = nullptr;
  for (int i = 0; FcPatternGetString(pattern, FC_FAMILY, i, &value) == FcResultMatch; ++i)
    if (std::string(reinterpret_cast<const char*>(value)) == family) return true;
  return false;
}

bool hasChars(FcPattern* pattern, std::initializer_list<FcChar32> chars) {
  FcCharSet* charset = nullptr;
  if (FcPatternGetCharSet(pattern, FC_CHARSET, 0, &charset) != FcResultMatch) return false;
  return std::all_of(chars.begin(), chars.end(), [&](FcChar32 c) { return FcCharSetHasChar(charset, c); });
}

// File and face of a pattern; empty when the builder could not read it.
// Named instances of variable fonts carry the instance above bit 16.
Face faceOf(FcPattern* pattern) {
  FcChar8* file = nullptr;
  int index = 0;
  if (FcPatternGetString(pattern, FC_FILE, 0, &file) != FcResultMatch) return {};
  FcPatternGetInteger(pattern, FC_INDEX, 0, &index);
  Face face{reinterpret_cast<const char*>(file), index & 0xFFFF};
  if (!builderReadsFile(face.path) || !fileExists(face.path)) return {};
  return face;
}

// The installed simplified-Chinese face that really has 中: Noto Sans CJK
// SC, then WenQuanYi Micro Hei and Zen Hei, then any other; regular weight
// and upright before the rest.
Face fontconfigChinese() {
  FcPattern* pattern = FcPatternCreate();
  FcPatternAddString(pattern, FC_LANG, reinterpret_cast<const FcChar8*>("zh-cn"));
  FcPatternAddBool(pattern, FC_OUTLINE, FcTrue);
  FcObjectSet* objects = FcObjectSetBuild(FC_FILE, FC_INDEX, FC_FAMILY, FC_WEIGHT, FC_SLANT, FC_CHARSET, nullptr);
  FcFontSet* fonts = FcFontList(nullptr, pattern, objects);
  FcObjectSetDestroy(objects);
  FcPatternDestroy(pattern);
  if (!fonts) return {};

  static const char* const kPreferred[] = {kNotoSansCjkSc, "WenQuanYi Micro Hei", "WenQuanYi Zen Hei"};
  Face best;
  std::tuple<int, int, int, std::string, int> bestRank;
  for (int i = 0; i < fonts->nfont; ++i) {
    FcPattern* font = fonts->fonts[i];
    if (!hasChars(font, {kZhong})) continue;
    const Face face = faceOf(font);
    if (face.path.empty()) continue;
    int family = 3;
    for (int f = 0; f < 3 && family == 3; ++f)
      if (hasFamily(font, kPreferred[f])) family = f;
    int weight = FC_WEIGHT_REGULAR, slant = FC_SLANT_ROMAN;
    FcPatternGetInteger(font, FC_WEIGHT, 0, &weight);
    FcPatternGetInteger(font, FC_SLANT, 0, &slant);
    const auto rank = std::make_tuple(family, std::abs(weight - FC_WEIGHT_REGULAR), slant != FC_SLANT_ROMAN ? 1 : 0,
                                      face.path, face.index);
    if (best.path.empty() || rank < bestRank) {
      best = face;
      bestRank = rank;
    }
  }
  FcFontSetDestroy(fonts);
  return best;
}

// The face of `family` inside a collection, read from the file itself (it
// need not be in fontconfig's cache); -1 when none.
int faceOfFamily(const char* path, const char* family) {
  FcFontSet* faces = FcFontSetCreate();
  FcStrSet* dirs = FcStrSetCreate();
  int found = -1;
  if (FcFileScan(faces, dirs, nullptr, nullptr, reinterpret_cast<const FcChar8*>(path), FcTrue)) {
    for (int i = 0; i < faces->nfont && found < 0; ++i) {
      FcPattern* face = faces->fonts[i];
      int index = 0;
      if (hasFamily(face, family) && FcPatternGetInteger(face, FC_INDEX, 0, &index) == FcResultMatch)
        found = index & 0xFFFF;
    }
  }
  FcStrSetDestroy(dirs);
  FcFontSetDestroy(faces);
  return found;
}

// fontconfig's best match for a family name that should have `needed`,
// accepted only when `accept` says it serves the role (fontconfig always
// returns a match, often a poor one).
template <typename Accept>
Face fontconfigMatch(const char* family, std::initializer_list<FcChar32> needed, Accept accept) {
  FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(family));
  if (!pattern) return {};
  FcPatternAddBool(pattern, FC_OUTLINE, FcTrue);
  if (needed.size() > 0) {
    FcCharSet* charset = FcCharSetCreate();
    for (FcChar32 c : needed) FcCharSetAddChar(charset, c);
    FcPatternAddCharSet(pattern, FC_CHARSET, charset);
    FcCharSetDestroy(charset);
  }
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(nullptr, pattern, &result);
  FcPatternDestroy(pattern);
  Face face;
  if (match && accept(match)) face = faceOf(match);
  if (match) FcPatternDestroy(match);
  return face;
}

Face fixedOrShipped(std::initializer_list<const char*> candidates) {
  return Face{firstExistingFont(std::vector<std::string>(candidates.begin(), candidates.end())), 0};
}

}  // namespace

std::string systemFontDirectory() { return {}; }

FontPaths findFontPaths() {
  const bool fontconfig = FcInit() == FcTrue;
  FontPaths paths;

  Face chinese = fontconfig ? fontconfigChinese() : Face{};
  if (chinese.path.empty() && fileExists(kNotoCjk))
    chinese = Face{kNotoCjk, fontconfig ? std::max(faceOfFamily(kNotoCjk, kNotoSansCjkSc), 0) : 0};
  if (chinese.path.empty())
    chinese = fixedOrShipped({kWqyMicroHei, kWqyZenHei, "@fonts/notosanssc.ttf", "@fonts/wqy-microhei.ttc"});
  paths.chinese = chinese.path;
  paths.chineseIndex = chinese.index;

  Face mono = fixedOrShipped({kDejaVuSansMono});
  if (mono.path.empty() && fontconfig) {
    mono = fontconfigMatch("monospace", {}, [](FcPattern* p) {
      int spacing = FC_PROPORTIONAL;
      return FcPatternGetInteger(p, FC_SPACING, 0, &spacing) == FcResultMatch && spacing == FC_MONO;
    });
  }
  paths.mono = mono.path;
  paths.monoIndex = mono.index;

  Face symbols = fixedOrShipped({kDejaVuSans});
  if (symbols.path.empty() && fontconfig)
    symbols = fontconfigMatch("DejaVu Sans", {kBlackCircle, kRightArrow},
                              [](FcPattern* p) { return hasChars(p, {kBlackCircle, kRightArrow}); });
  paths.symbols = symbols.path;
  paths.symbolsIndex = symbols.index;
  return paths;
}

}  // namespace vl
