// velmora-pad: a command-line Pad for integrators and for end-to-end tests.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/first_stage.h"
#include "velmora-pad/commands.h"

namespace {

constexpr char kUsage[] =
    "usage: velmora-pad COMMAND ...\n"
    "  watch HOST[:PORT] [--fps N] [--quality Q] [--maxw W] [--count N] [--seconds S] [--out DIR]\n"
    "  input HOST[:PORT] move U V | down|up|click|dbl U V [--btn B] | wheel U V DELTA [--ctrl]\n"
    "                    | key VK [--up] | text STRING\n"
    "  sys HOST[:PORT] OP [--step N]      OP: shutdown restart volup voldown mute unmute mutetoggle\n"
    "  hub [--name NAME] [--port 24690] [--no-discovery] [--ip ADDR] [--bind ADDR] [--seconds S]\n"
    "      [--web [[ADDR:]PORT]] [--web-token TOKEN] [--agents FILE] [--web-store FILE]\n"
    "      stands in for the Pad: answers discovery, accepts agent links, prints hello/hb/bye;\n"
    "      standard input, one command a line, goes to every linked agent:\n"
    "        cfg [quality=Q] [maxw=W] [fps=F] [on=0|1]   stream settings (no on= turns streaming off)\n"
    "        toast TEXT                                  a notice the agent logs\n"
    "        kick REASON                                 the agent drops the link\n"
    "        list                                        prints the linked agents\n"
    "      --web serves a console in the browser: every agent as a live thumbnail, one\n"
    "      opened to watch and operate it, system commands to several at once.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  // UTF-8 arguments on every platform (on Windows argv is in the ANSI code
  // page, which would mangle "input ... text" with non-ASCII characters).
  std::vector<std::string> all = vl::commandLineArguments(argc, argv);
  if (all.size() < 2) all.assign(argv, argv + argc);
  const std::string command = all[1];
  std::vector<std::string> args(all.begin() + 2, all.end());
  if (command == "watch") return vl::pad::runWatch(args);
  if (command == "input") return vl::pad::runInput(args);
  if (command == "sys") return vl::pad::runSys(args);
  if (command == "hub") return vl::pad::runHub(args);
  std::fprintf(stderr, "velmora-pad: unknown command \"%s\" (see --help)\n", command.c_str());
  return 2;
}
