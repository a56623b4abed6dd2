#include "echo/desktop_backend.h"

#include <mutex>

namespace vl {
namespace {

std::mutex g_mutex;
std::shared_ptr<DesktopBackend> g_backend;

}  // namespace

void installDesktopBackend(std::shared_ptr<DesktopBackend> backend) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_backend = std::move(backend);
}

std::shared_ptr<DesktopBackend> installedDesktopBackend() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_backend;
}

}  // namespace vl
