#include "serial/com_port.h"
