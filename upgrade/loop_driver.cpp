#include "upgrade/loop_driver.h"
