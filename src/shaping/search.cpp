#include "model/model.h"
#include "shaping/shaping.h"

double optimize_filter(shaper_state*) { return 0.0; }
