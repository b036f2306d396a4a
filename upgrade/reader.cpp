#include "upgrade/reader.h"
