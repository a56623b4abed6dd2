#include "echo/duplication_recovery.h"

#include <utility>

namespace vl {

DuplicationRecovery::DuplicationRecovery(DuplicationBackend& backend, LogSink log)
    : backend_(backend), log_(std::move(log)) {}

void DuplicationRecovery::log(LogLevel level, const std::string& text) {
  if (log_)
    log_(level, text);
  else
    logWrite(level, "%s", text.c_str());
}

void DuplicationRecovery::restart() {
  if (active_) backend_.tearDown();
  active_ = false;
  havePicture_ = false;
  pendingSlot_ = -1;
  retryAtMs_ = 0;
}

PictureSource DuplicationRecovery::step(std::uint64_t nowMs, bool hadPicture) {
  if (active_) return acquireAndRead(nowMs, hadPicture, false);
  if (unavailable_) return PictureSource::Gdi;
  if (nowMs < retryAtMs_) return secureDesktop_ && hadPicture ? PictureSource::KeepLast : PictureSource::Gdi;
  return trySetUp(nowMs, hadPicture);
}

PictureSource DuplicationRecovery::trySetUp(std::uint64_t nowMs, bool hadPicture) {
  std::string reason;
  const DuplicationFault fault = backend_.setUp(newDevice_, reason);
  if (fault != DuplicationFault::None) return fallBack(nowMs, hadPicture, fault, reason);
  active_ = true;
  newDevice_ = false;
  accessLost_ = false;
  havePicture_ = false;
  pendingSlot_ = -1;
  if (secureDesktop_) {
    secureDesktop_ = false;
    announceSecureEnd_ = true;
  }
  return acquireAndRead(nowMs, hadPicture, true);
}

// `fresh`: set up in this very pass, so a loss is not followed by another
// set-up at once (a duplication that dies at birth would spin).
PictureSource DuplicationRecovery::stop(std::uint64_t nowMs, bool hadPicture, bool fresh, DuplicationFault fault,
                                       const std::string& reason) {
  backend_.tearDown();
  active_ = false;
  pendingSlot_ = -1;
  if (fault == DuplicationFault::AccessLost) accessLost_ = true;
  if (fault == DuplicationFault::DeviceLost) {
    newDevice_ = true;
    log(LogLevel::Warn, "显卡设备已移除或重置（" + reason + "），重建桌面复制");
  }
  const bool passing = fault == DuplicationFault::AccessLost || fault == DuplicationFault::DeviceLost;
  if (passing && !fresh) return trySetUp(nowMs, hadPicture);
  return fallBack(nowMs, hadPicture, fault, reason);
}

PictureSource DuplicationRecovery::fallBack(std::uint64_t nowMs, bool hadPicture, DuplicationFault fault,
                                           const std::string& reason) {
  active_ = false;
  if (fault == DuplicationFault::DeviceLost) newDevice_ = true;
  // Refused right after duplication ended: the secure desktop is up. GDI
  // cannot see it either, so the last picture is the best there is.
  if (fault == DuplicationFault::Refused && (accessLost_ || secureDesktop_)) {
    if (!secureDesktop_) {
      secureDesktop_ = true;
      announceSecureEnd_ = false;
      log(LogLevel::Warn, "安全桌面（UAC 提示、锁屏或 Ctrl+Alt+Del）期间保留最后的画面，回到桌面后继续");
    }
    retryAtMs_ = nowMs + kSecureDesktopRetryMs;
    return hadPicture ? PictureSource::KeepLast : PictureSource::Gdi;
  }
  secureDesktop_ = false;
  announceSecureEnd_ = false;
  // Asking a system without duplication again costs a device set-up each
  // time and can never succeed.
  if (fault == DuplicationFault::Unavailable) unavailable_ = true;
  if (reason != lastReason_) {
    lastReason_ = reason;
    log(LogLevel::Warn, "桌面复制不可用，改用 GDI 抓屏: " + reason);
  }
  retryAtMs_ = nowMs + kDuplicationRetryMs;
  return PictureSource::Gdi;
}

PictureSource DuplicationRecovery::pictureRead() {
  pendingSlot_ = -1;
  if (!havePicture_) {
    // Said at the first picture, not at set-up: a duplication that fails
    // again at once would otherwise log its return every retry.
    if (announceSecureEnd_) {
      log(LogLevel::Info, "已回到桌面，桌面复制继续");
    } else if (!lastReason_.empty()) {
      log(LogLevel::Info, "桌面复制已恢复");
    }
    announceSecureEnd_ = false;
    lastReason_.clear();
  }
  havePicture_ = true;
  return PictureSource::NewPicture;
}

PictureSource DuplicationRecovery::acquireAndRead(std::uint64_t nowMs, bool hadPicture, bool fresh) {
  std::string reason;
  bool queued = false;
  DuplicationFault fault = backend_.acquire(writeSlot_, queued, reason);
  if (fault != DuplicationFault::None) return stop(nowMs, hadPicture, fresh, fault, reason);
  bool stillDrawing = false;
  if (queued) {
    // The older copy, if one was still waiting, is dropped for the newer.
    pendingSlot_ = writeSlot_;
    writeSlot_ ^= 1;
    // The copy was only just queued: read it if the GPU is done, else next pass.
    fault = backend_.read(pendingSlot_, false, stillDrawing, damage_, reason);
  } else if (pendingSlot_ >= 0) {
    fault = backend_.read(pendingSlot_, true, stillDrawing, damage_, reason);
  } else {
    // A timeout, or only the pointer moved: with no picture since set-up
    // there is nothing valid to show yet.
    return havePicture_ ? PictureSource::Unchanged : PictureSource::Gdi;
  }
  if (fault != DuplicationFault::None) return stop(nowMs, hadPicture, fresh, fault, reason);
  if (stillDrawing) return havePicture_ ? PictureSource::Unchanged : PictureSource::Gdi;
  return pictureRead();
}

}  // namespace vl
