#include "agent/theme.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vl {
namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Two hex digits at d[i]; -1 when either is not one.
int hexPair(std::string_view d, std::size_t i) {
  const int hi = hexDigit(d[i]), lo = hexDigit(d[i + 1]);
  return (hi < 0 || lo < 0) ? -1 : hi * 16 + lo;
}

}  // namespace

ImVec4 hexColor(std::string_view text) {
  const ImVec4 white(1.0f, 1.0f, 1.0f, 1.0f);
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= 0x20) text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 0x20) text.remove_suffix(1);
  if (!text.empty() && text.front() == '#') text.remove_prefix(1);
  const std::string_view d = text;
  if (d.size() == 3) {
    float c[3];
    for (int i = 0; i < 3; ++i) {
      const int v = hexDigit(d[i]);
      if (v < 0) return white;
      c[i] = static_cast<float>(v * 17) / 255.0f;
    }
    return ImVec4(c[0], c[1], c[2], 1.0f);
  }
  if (d.size() < 6) return white;
  const int r = hexPair(d, 0), g = hexPair(d, 2), b = hexPair(d, 4);
  if (r < 0 || g < 0 || b < 0) return white;
  float a = 1.0f;
  if (d.size() >= 8) {
    const int av = hexPair(d, 6);
    if (av >= 0) a = static_cast<float>(av) / 255.0f;
  }
  return ImVec4(static_cast<float>(r) / 255.0f, static_cast<float>(g) / 255.0f, static_cast<float>(b) / 255.0f, a);
}

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// A plain decimal ("96", "120.5") up to `end`; -1 when it is anything else.
// strtod would follow the C locale's decimal point.
float parseDpiValue(const char* p, const char* end) {
  while (p < end && isBlank(*p)) ++p;
  while (end > p && (isBlank(end[-1]) || end[-1] == '\r')) --end;
  if (p == end) return -1.0f;
  double value = 0.0, unit = 1.0;
  bool digits = false, fraction = false;
  for (; p < end; ++p) {
    if (*p >= '0' && *p <= '9') {
      digits = true;
      if (fraction) unit /= 10.0;
      value = fraction ? value + (*p - '0') * unit : value * 10.0 + (*p - '0');
    } else if (*p == '.' && !fraction) {
      fraction = true;
    } else {
      return -1.0f;
    }
  }
  return digits && value < 1e6 ? static_cast<float>(value) : -1.0f;
}

}  // namespace

float dpiFromXResources(const char* resources) {
  if (!resources) return 0.0f;
  static constexpr char kKey[] = "Xft.dpi";
  float found = 0.0f;
  // One "name:\tvalue" entry per line; the last Xft.dpi wins, as in Xrm.
  for (const char* line = resources; *line;) {
    const char* end = std::strchr(line, '\n');
    if (!end) end = line + std::strlen(line);
    const char* p = line;
    while (p < end && isBlank(*p)) ++p;
    const char* colon = static_cast<const char*>(std::memchr(p, ':', static_cast<std::size_t>(end - p)));
    if (colon) {
      const char* keyEnd = colon;
      while (keyEnd > p && isBlank(keyEnd[-1])) --keyEnd;
      if (static_cast<std::size_t>(keyEnd - p) == sizeof kKey - 1 && std::memcmp(p, kKey, sizeof kKey - 1) == 0) {
        const float value = parseDpiValue(colon + 1, end);
        found = value > 0.0f ? value : 0.0f;
      }
    }
    line = *end ? end + 1 : end;
  }
  return found;
}

float dpiFromPhysicalSize(int pixels, int millimetres) {
  if (pixels <= 0 || millimetres <= 0) return 0.0f;
  return static_cast<float>(pixels) * 25.4f / static_cast<float>(millimetres);
}

float scaleFromDpi(float dpi) { return dpi >= 72.0f ? dpi / 96.0f : 1.0f; }

float clampUiScale(float scale) {
  if (!(scale >= kMinUiScale)) return kMinUiScale;  // NaN too
  return std::min(scale, kMaxUiScale);
}

void applyTheme(float scale) {
  // A broken scale would give negative sizes, which the library asserts on.
  const float s = (scale > 0.0f && std::isfinite(scale)) ? scale : 1.0f;
  ImGuiStyle& style = ImGui::GetStyle();
  ImGui::StyleColorsDark(&style);

  style.WindowPadding = ImVec2(14 * s, 12 * s);
  style.WindowRounding = 0;
  style.WindowBorderSize = 1 * s;
  style.WindowTitleAlign = ImVec2(0.0f, 0.5f);
  style.WindowMenuButtonPosition = ImGuiDir_None;
  style.ChildRounding = 10 * s;
  style.ChildBorderSize = 1 * s;
  style.PopupRounding = 10 * s;
  style.PopupBorderSize = 1 * s;
  style.FramePadding = ImVec2(10 * s, 6 * s);
  style.FrameRounding = 6 * s;
  style.FrameBorderSize = 0;
  style.ItemSpacing = ImVec2(8 * s, 6 * s);
  style.ItemInnerSpacing = ImVec2(6 * s, 5 * s);
  style.CellPadding = ImVec2(8 * s, 5 * s);
  style.IndentSpacing = 18 * s;
  style.ScrollbarSize = 12 * s;
  style.ScrollbarRounding = 10 * s;
  style.GrabMinSize = 12 * s;
  style.GrabRounding = 5 * s;
  style.TabRounding = 6 * s;
  style.TabBorderSize = 0;
  style.ButtonTextAlign = ImVec2(0.5f, 0.5f);
  style.SelectableTextAlign = ImVec2(0.0f, 0.5f);

  ImVec4* c = style.Colors;
  const ImVec4 clear(0, 0, 0, 0);
  c[ImGuiCol_Text] = hexColor("#E6EDF5");
  c[ImGuiCol_TextDisabled] = hexColor("#5C6B7D");
  c[ImGuiCol_WindowBg] = hexColor("#12161C");
  c[ImGuiCol_ChildBg] = clear;
  c[ImGuiCol_PopupBg] = hexColor("#1B222C");
  c[ImGuiCol_Border] = hexColor("#2A3441");
  c[ImGuiCol_BorderShadow] = clear;
  c[ImGuiCol_FrameBg] = hexColor("#1B222C");
  c[ImGuiCol_FrameBgHovered] = hexColor("#232C38");
  c[ImGuiCol_FrameBgActive] = hexColor("#26364A");
  c[ImGuiCol_TitleBg] = c[ImGuiCol_TitleBgActive] = c[ImGuiCol_TitleBgCollapsed] = c[ImGuiCol_MenuBarBg] =
      hexColor("#171C24");
  c[ImGuiCol_ScrollbarBg] = clear;
  c[ImGuiCol_ScrollbarGrab] = hexColor("#2A3441");
  c[ImGuiCol_ScrollbarGrabHovered] = hexColor("#39465A");
  c[ImGuiCol_ScrollbarGrabActive] = hexColor("#3DBDF5");
  c[ImGuiCol_CheckMark] = hexColor("#3DBDF5");
  c[ImGuiCol_SliderGrab] = hexColor("#3DBDF5");
  c[ImGuiCol_SliderGrabActive] = hexColor("#5FCFFF");
  c[ImGuiCol_Button] = hexColor("#223041");
  c[ImGuiCol_ButtonHovered] = hexColor("#2B3B50");
  c[ImGuiCol_ButtonActive] = hexColor("#2A7FA8");
  c[ImGuiCol_Header] = hexColor("#223041");
  c[ImGuiCol_HeaderHovered] = hexColor("#2B3B50");
  c[ImGuiCol_HeaderActive] = hexColor("#2A7FA8");
  c[ImGuiCol_Separator] = hexColor("#2A3441");
  c[ImGuiCol_SeparatorHovered] = hexColor("#2A7FA8");
  c[ImGuiCol_SeparatorActive] = hexColor("#3DBDF5");
  c[ImGuiCol_ResizeGrip] = hexColor("#2A3441");
  c[ImGuiCol_ResizeGripHovered] = hexColor("#2A7FA8");
  c[ImGuiCol_ResizeGripActive] = hexColor("#3DBDF5");
  // 1.86 names the tab slots Active/Unfocused and has no tab overline.
  c[ImGuiCol_TabHovered] = hexColor("#3E3218");
  c[ImGuiCol_Tab] = hexColor("#171C24");
  c[ImGuiCol_TabActive] = hexColor("#6B4A12");
  c[ImGuiCol_TabUnfocused] = hexColor("#171C24");
  c[ImGuiCol_TabUnfocusedActive] = hexColor("#5A3E10");
  c[ImGuiCol_PlotLines] = hexColor("#3DBDF5");
  c[ImGuiCol_PlotLinesHovered] = hexColor("#5FCFFF");
  c[ImGuiCol_PlotHistogram] = hexColor("#3DBDF5");
  c[ImGuiCol_PlotHistogramHovered] = hexColor("#5FCFFF");
  c[ImGuiCol_TableHeaderBg] = hexColor("#171C24");
  c[ImGuiCol_TableBorderStrong] = hexColor("#2A3441");
  c[ImGuiCol_TableBorderLight] = hexColor("#202834");
  c[ImGuiCol_TableRowBg] = clear;
  c[ImGuiCol_TableRowBgAlt] = ImVec4(1.0f, 1.0f, 1.0f, 0.02f);
  ImVec4 selection = hexColor("#3DBDF5");
  selection.w = 0.32f;
  c[ImGuiCol_TextSelectedBg] = selection;
  c[ImGuiCol_DragDropTarget] = hexColor("#3DBDF5");
  c[ImGuiCol_NavHighlight] = hexColor("#3DBDF5");  // the keyboard-focus cursor
  c[ImGuiCol_NavWindowingHighlight] = hexColor("#3DBDF5");
  c[ImGuiCol_NavWindowingDimBg] = ImVec4(0.05f, 0.06f, 0.08f, 0.60f);
  c[ImGuiCol_ModalWindowDimBg] = ImVec4(0.03f, 0.04f, 0.05f, 0.72f);
}

void separatorText(const char* label) {
  // 1.86 has no SeparatorText: the label, then a 3 px line of the Separator
  // colour from after the label to the end of the row, centred on the text.
  ImGuiStyle& style = ImGui::GetStyle();
  ImGui::Dummy(ImVec2(0.0f, 3.0f));  // the newer default vertical padding
  const ImVec2 start = ImGui::GetCursorScreenPos();
  const ImVec2 labelSize = ImGui::CalcTextSize(label, nullptr, true);
  const float padX = 20.0f;  // the newer default's padding before the label
  ImGui::SetCursorPosX(ImGui::GetCursorPosX() + padX);
  ImGui::TextUnformatted(label);
  const float avail = ImGui::GetContentRegionMax().x + ImGui::GetWindowPos().x;
  const float midY = start.y + labelSize.y * 0.5f;
  const ImU32 colour = ImGui::GetColorU32(ImGuiCol_Separator);
  ImDrawList* draw = ImGui::GetWindowDrawList();
  const float gap = style.ItemSpacing.x;
  draw->AddLine(ImVec2(start.x, midY), ImVec2(start.x + padX - gap, midY), colour, 3.0f);
  const float afterLabel = start.x + padX + labelSize.x + gap;
  if (afterLabel < avail) draw->AddLine(ImVec2(afterLabel, midY), ImVec2(avail, midY), colour, 3.0f);
}

}  // namespace vl
