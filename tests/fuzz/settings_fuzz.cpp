// The settings loader on any file content (the first byte says whether the
// Pad address is read, as without --hub). Whatever it loads, the file the
// agent then writes must load again into the same settings: writing that
// second load gives the same text.
#include <string>
#include <string_view>

#include "agent/agent.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vl;
  if (size == 0) return 0;
  const bool readHub = (data[0] & 1) != 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  AgentSettings loaded;
  if (parseSettings(text, readHub, loaded) == SettingsParse::Corrupt) return 0;
  const std::string written = serializeSettings(loaded);

  AgentSettings reloaded;
  VL_FUZZ_CHECK(parseSettings(written, true, reloaded) == SettingsParse::Loaded);
  VL_FUZZ_CHECK(serializeSettings(reloaded) == written);
  VL_FUZZ_CHECK(reloaded.hubPort == loaded.hubPort);
  VL_FUZZ_CHECK(reloaded.region == loaded.region);
  VL_FUZZ_CHECK(reloaded.maxW == loaded.maxW && reloaded.quality == loaded.quality && reloaded.fps == loaded.fps);
  return 0;
}
