#include "model/model.h"

int init_rate_tables(shaper_state*, double) { return 0; }
