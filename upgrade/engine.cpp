#include "upgrade/engine.h"
