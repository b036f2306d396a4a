#include "serial/com_names.h"
