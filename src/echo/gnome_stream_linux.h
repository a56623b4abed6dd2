// The GNOME back end's frame source: one mutter screen-cast stream consumed
// through PipeWire.
#pragma once

#include <memory>

#include "echo/frame_source.h"
#include "echo/gnome_session_linux.h"

namespace vl::gnome {

std::unique_ptr<FrameSource> createStreamFrameSource(std::shared_ptr<Session> session);

}  // namespace vl::gnome
