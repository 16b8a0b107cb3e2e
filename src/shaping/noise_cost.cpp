#include "shaping/shaping.h"

double noise_cost(const double*, const double*, int) { return 0.0; }
