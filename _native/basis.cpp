#include "basis.hpp"

namespace zelk {}  // namespace zelk
