#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "log/helpers.h"
#include "support/test_support.h"

namespace vl::test {

namespace {
std::wstring quoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  int backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') out.append(static_cast<std::size_t>(backslashes * 2 + 1), L'\\');
    else out.append(static_cast<std::size_t>(backslashes), L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(static_cast<std::size_t>(backslashes * 2), L'\\');
  out += L'"';
  return out;
}
}  // namespace

ChildProcess startProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                          const std::vector<std::string>& unsetEnv) {
  ChildProcess child;
  if (argv.empty()) return child;
  std::wstring commandLine;
  for (const auto& a : argv) {
    if (!commandLine.empty()) commandLine += L' ';
    commandLine += quoteArgument(toWide(a));
  }
  // The child inherits our environment with the changes applied.
  std::vector<std::pair<std::string, std::string>> saved;
  for (const auto& name : unsetEnv) {
    saved.emplace_back(name, envExists(name.c_str()) ? envValue(name.c_str()) : std::string("\x01"));
    SetEnvironmentVariableW(toWide(name).c_str(), nullptr);
  }
  for (const auto& [k, v] : env) {
    saved.emplace_back(k, envExists(k.c_str()) ? envValue(k.c_str()) : std::string("\x01"));
    SetEnvironmentVariableW(toWide(k).c_str(), toWide(v).c_str());
  }
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  std::wstring mutableLine = commandLine;
  const BOOL ok = CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                 &si, &pi);
  for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
    if (it->second == "\x01") SetEnvironmentVariableW(toWide(it->first).c_str(), nullptr);
    else SetEnvironmentVariableW(toWide(it->first).c_str(), toWide(it->second).c_str());
  }
  if (!ok) return child;
  CloseHandle(pi.hThread);
  child.handle = reinterpret_cast<std::intptr_t>(pi.hProcess);
  child.pid = pi.dwProcessId;
  return child;
}

int waitProcess(ChildProcess& child, int timeoutMs) {
  if (!child.valid()) return -1;
  HANDLE h = reinterpret_cast<HANDLE>(child.handle);
  if (WaitForSingleObject(h, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(h, &code);
  CloseHandle(h);
  child = ChildProcess{};
  return static_cast<int>(code);
}

void killProcess(ChildProcess& child) {
  if (!child.valid()) return;
  HANDLE h = reinterpret_cast<HANDLE>(child.handle);
  TerminateProcess(h, 1);
  WaitForSingleObject(h, 5000);
  CloseHandle(h);
  child = ChildProcess{};
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool haveProgram(const std::string& name) { return fileExists(name); }

}  // namespace vl::test
