#include "upgrade/frames.h"
