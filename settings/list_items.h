// The items of the window's lists by control id, as the dialog and both station windows fill
// them: the port list (COM1 .. COM256) and the line-setting lists of line_lists.h.
#pragma once

#include <string>
#include <vector>

namespace tarvik {

// The items of list `listId` in index order (the port list: COM1 .. COM256); none for an id
// that is not a list.
const std::vector<std::string>& ListItems(int listId);
// The text of item `index` of list `listId`; empty when the index lies outside the list.
std::string ListItemText(int listId, int index);

}  // namespace tarvik
