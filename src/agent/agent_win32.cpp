#include <windows.h>

#include "agent/agent.h"
#include "log/helpers.h"

namespace vl {

std::string computerName() {
  wchar_t name[256] = {};
  DWORD size = 256;
  if (!GetComputerNameW(name, &size)) return {};
  return toNarrow(std::wstring_view(name, size));
}

}  // namespace vl
