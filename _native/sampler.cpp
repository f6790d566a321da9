#include "sampler.hpp"

namespace zelk {}  // namespace zelk
