// Resource ids of tarvik-station.exe, shared by its resource script and its code.
#pragma once

#define TARVIK_STATION_ICON 128
