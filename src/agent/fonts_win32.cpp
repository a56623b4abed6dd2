// Font paths on Windows: the system font directory, then fonts shipped next
// to the program (how a system without a Chinese font, or Wine, gets one).
#include <windows.h>

#include "agent/fonts.h"
#include "log/helpers.h"

namespace vl {

std::string systemFontDirectory() {
  std::wstring buffer(MAX_PATH, L'\0');
  UINT n = GetWindowsDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
  if (n >= buffer.size()) {  // too small: n is the size needed
    buffer.assign(n, L'\0');
    n = GetWindowsDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
  }
  if (n == 0 || n >= buffer.size()) return "C:\\Windows\\Fonts";
  buffer.resize(n);
  return joinPath(toNarrow(buffer), "Fonts");
}

FontPaths findFontPaths() {
  const std::string directory = systemFontDirectory();
  auto system = [&](const char* name) { return joinPath(directory, name); };
  FontPaths paths;
  paths.chinese = firstExistingFont({system("msyh.ttc"), system("msyh.ttf"), system("Deng.ttf"),
                                     system("simhei.ttf"), system("simsun.ttc"), system("msjh.ttc"),
                                     "@fonts/notosanssc.ttf", "@fonts/wqy-microhei.ttc"});
  paths.mono = firstExistingFont({system("consola.ttf"), system("cour.ttf")});
  paths.symbols = firstExistingFont({system("seguisym.ttf"), system("seguiemj.ttf")});
  return paths;
}

}  // namespace vl
