#include "wav/wav.h"
