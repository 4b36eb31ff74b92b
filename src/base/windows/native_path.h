#pragma once

#include <string>

#include "base/text.h"

namespace wavtally::platform {

/// Returns path in the form to hand to the system: unchanged when short, and
/// as a full "\\?\" path when it comes near MAX_PATH, which the plain form
/// cannot pass; returns path unchanged when it cannot be made full.
std::wstring NativePath(const CStdStr& path);

}  // namespace wavtally::platform
