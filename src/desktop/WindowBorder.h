#pragma once

namespace desktop {
}  // namespace desktop
