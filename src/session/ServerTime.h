#pragma once

namespace session {
}  // namespace session
