#include "upgrade/image.h"
