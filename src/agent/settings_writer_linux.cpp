#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "agent/settings_writer.h"
#include "log/helpers.h"

namespace vl::detail {

unsigned long writeFileDurably(const std::string& path, std::string_view text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return static_cast<unsigned long>(errno);
  unsigned long error = 0;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? static_cast<unsigned long>(errno) : static_cast<unsigned long>(EIO);
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  // A full disk may only show here.
  if (error == 0 && ::fsync(fd) != 0) error = static_cast<unsigned long>(errno);
  if (::close(fd) != 0 && error == 0) error = static_cast<unsigned long>(errno);
  return error;
}

unsigned long replaceFileOnce(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : static_cast<unsigned long>(errno);
}

// rename() does not wait on readers here; nothing is worth trying again.
bool isTransientReplaceError(unsigned long code) { return code == EBUSY; }

void removeFileQuietly(const std::string& path) { ::unlink(path.c_str()); }

std::string temporaryPathFor(const std::string& path) {
  return path + formatString(".tmp%ld", static_cast<long>(::getpid()));
}

std::string knownErrorReason(unsigned long code) {
  switch (code) {
    case ENOSPC: return "磁盘空间不足";
    case EDQUOT: return "超出磁盘配额";
    case EROFS: return "文件系统只读";
    case EACCES:
    case EPERM: return "没有写入权限";
    case ENOENT:
    case ENOTDIR: return "目录不存在";
    case EIO: return "磁盘读写出错";
    default: return {};
  }
}

std::string systemErrorText(unsigned long code) { return std::strerror(static_cast<int>(code)); }

}  // namespace vl::detail
