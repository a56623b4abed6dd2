// Velmora Agent entry point.
#include "app/first_stage.h"
#include "log/helpers.h"
#include "log/log.h"

#if defined(_WIN32)
#include <windows.h>
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  char** argv = nullptr;
#else
int main(int argc, char** argv) {
#endif
  vl::LaunchOptions options;
  if (!vl::runFirstStage(vl::commandLineArguments(argc, argv), options)) return 0;
  vl::logWrite(vl::LogLevel::Info, "Velmora 被控端已启动：%s", vl::exePath().c_str());
  // The services and the window join here as they are built; until then the
  // process holds its place (single instance, log) until asked to stop.
  vl::waitForStopRequest();
  vl::logClose();
  return 0;
}
