// Child program for the log tests: a static object built before the log's
// first use writes from its destructor, after main returned and the log was
// closed, the way the agent reports its saved settings on the way out.
// Standard error goes to the file named by argv[1], binary so that lines
// end in LF on Windows too.
#include <cstdio>

#include "log/log.h"

namespace {

struct WritesOnExit {
  ~WritesOnExit() { vl::logWrite(vl::LogLevel::Info, "设置已保存: %s", "exit-writer"); }
};
WritesOnExit writesOnExit;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::freopen(argv[1], "wb", stderr)) return 2;
  // Longer than any short-string buffer: a freed tag would show as garbage.
  vl::logOpen("", "VelmoraExitWriterTag");
  vl::logWrite(vl::LogLevel::Info, "started");
  vl::logClose();
  return 0;
}
