#include "app/single_instance.h"

#include "app/launch_options.h"
#include "log/helpers.h"

namespace vl {

std::uint32_t singleInstanceKey(std::wstring_view pathUnits) {
  std::uint32_t hash = 0x811C9DC5u;
  for (wchar_t c : pathUnits) {
    std::uint32_t unit = static_cast<std::uint32_t>(c) & 0xFFFFu;
    if (unit == 0) break;
    if (unit == '/') unit = '\\';
    if (unit >= 'A' && unit <= 'Z') unit += 'a' - 'A';
    hash ^= unit;
    hash *= 16777619u;
  }
  return hash;
}

bool singleInstanceGuardSkipped(const std::vector<std::string>& args) {
  return envExists("VL_ALLOW_MULTI") || hasAllowMultiArgument(args);
}

}  // namespace vl
