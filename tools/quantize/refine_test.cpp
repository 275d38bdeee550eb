#include "refine.h"
