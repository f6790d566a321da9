#include "linear.hpp"

namespace zelk {}  // namespace zelk
