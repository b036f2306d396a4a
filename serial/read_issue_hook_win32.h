// A pause between a Read of the Windows port registering its transfer (where CancelRead and a
// Write find it) and issuing it to the system: the moment a cancel can fall between the two.
// Tests put a hook in place to hold a Read there; the port calls it on the reading thread.
#pragma once

namespace tarvik::serial {

using ReadIssueHook = void (*)();

// Puts `hook` in place (nullptr, the default: none). Any thread.
void SetReadIssueHook(ReadIssueHook hook);

}  // namespace tarvik::serial
