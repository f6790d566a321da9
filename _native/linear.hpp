#pragma once

#include "common.hpp"

namespace zelk {}  // namespace zelk
