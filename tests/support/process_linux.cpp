#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "support/test_support.h"

namespace vl::test {

ChildProcess startProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                          const std::vector<std::string>& unsetEnv) {
  ChildProcess child;
  if (argv.empty()) return child;
  const pid_t pid = ::fork();
  if (pid < 0) return child;
  if (pid == 0) {
    for (const auto& name : unsetEnv) ::unsetenv(name.c_str());
    for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  child.handle = pid;
  child.pid = static_cast<std::uint32_t>(pid);
  return child;
}

int waitProcess(ChildProcess& child, int timeoutMs) {
  if (!child.valid()) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(static_cast<pid_t>(child.handle), &status, WNOHANG);
    if (r == static_cast<pid_t>(child.handle)) {
      child = ChildProcess{};
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    }
    if (r < 0) {
      child = ChildProcess{};
      return -1;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void killProcess(ChildProcess& child) {
  if (!child.valid()) return;
  ::kill(static_cast<pid_t>(child.handle), SIGKILL);
  int status = 0;
  ::waitpid(static_cast<pid_t>(child.handle), &status, 0);
  child = ChildProcess{};
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool haveProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return ::access(name.c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::string p = path;
  std::size_t start = 0;
  while (start <= p.size()) {
    const std::size_t end = p.find(':', start);
    const std::string dir = p.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return false;
}

Xvfb::~Xvfb() { stop(); }

bool Xvfb::start(int width, int height, const std::vector<std::string>& extraArgs) {
  stop();
  int fds[2];
  if (::pipe(fds) != 0) return false;
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  if (pid == 0) {
    ::close(fds[0]);
    const int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
    }
    const std::string fd = std::to_string(fds[1]);
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    std::vector<std::string> a = {"Xvfb", "-displayfd", fd, "-screen", "0", screen, "-nolisten", "tcp",
                                  "-noreset"};
    a.insert(a.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> args;
    for (auto& s : a) args.push_back(s.data());
    args.push_back(nullptr);
    ::execvp("Xvfb", args.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  process_.handle = pid;
  process_.pid = static_cast<std::uint32_t>(pid);
  std::string number;
  struct pollfd p = {fds[0], POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    if (::poll(&p, 1, 100) > 0) {
      char c;
      const ssize_t n = ::read(fds[0], &c, 1);
      if (n <= 0) break;
      if (c == '\n') break;
      number += c;
    }
  }
  ::close(fds[0]);
  if (number.empty()) {
    stop();
    return false;
  }
  display_ = ":" + number;
  return true;
}

void Xvfb::stop() {
  if (process_.valid()) {
    ::kill(static_cast<pid_t>(process_.handle), SIGTERM);
    if (waitProcess(process_, 3000) < 0) killProcess(process_);
  }
  display_.clear();
}

}  // namespace vl::test
