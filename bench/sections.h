// The benchmark's sections, one file each, in the order of the report, and the helpers some
// of them run as `tarvik-bench HELPER ...` in a process of their own (whose figures must not
// mix with the section's own process).
#pragma once

#include <string>

#include "support.h"

namespace tarvik::bench {

// line.cpp: tarvik-cli to tarvik-sim on one paced line, beside lrzsz's ZMODEM and XMODEM-1K.
void LineAndPeers(Report& report);
// profile.cpp: where the time of one transfer goes, stamped inside the engine.
void WhereTheTimeGoes(Report& report);
int ProfileHelper(const std::string& port, const std::string& image);
// idle.cpp: CPU with the port open and idle.
void IdleCpu(Report& report);
int IdleHelper(const std::string& port, int seconds);
// boards.cpp: many boards at once under one tarvik-cli.
void ManyBoards(Report& report);
// draining.cpp: many boards, and the search, on lines that drain at their rate.
void ManyBoardsOnDrainingLines(Report& report);
int DrainingHelper(const std::string& sim, int boards, const std::string& image);
int DrainingSearchHelper(int ports);
// footprint.cpp: peak memory of tarvik-cli and of the window.
void Footprint(Report& report);
// soak.cpp: many upgrades in one process against a board that loses replies.
void Soak(Report& report);
// notes.cpp: why targets are missed, written after a whole run.
void Notes(Report& report);

}  // namespace tarvik::bench
