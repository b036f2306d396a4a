#include "settings/list_items.h"

#include <iterator>

#include "res/resource.h"
#include "serial/com_names.h"
#include "settings/line_lists.h"

namespace tarvik {

namespace {

constexpr char kPortNamePrefix[] = "COM";

std::vector<std::string> PortNames() {
    std::vector<std::string> names;
    names.reserve(kComNameCount);
    for (int i = 1; i <= kComNameCount; ++i) {
        names.push_back(kPortNamePrefix + std::to_string(i));
    }
    return names;
}

}  // namespace

const std::vector<std::string>& ListItems(int listId) {
    static const std::vector<std::string> kPorts = PortNames();
    static const std::vector<std::string> kBauds(std::begin(lists::kBauds),
                                                 std::end(lists::kBauds));
    static const std::vector<std::string> kParities(std::begin(lists::kParities),
                                                    std::end(lists::kParities));
    static const std::vector<std::string> kDataBits(std::begin(lists::kDataBits),
                                                    std::end(lists::kDataBits));
    static const std::vector<std::string> kStopBits(std::begin(lists::kStopBits),
                                                    std::end(lists::kStopBits));
    static const std::vector<std::string> kNone;
    switch (listId) {
        case res::kPortList:
            return kPorts;
        case res::kBaudList:
            return kBauds;
        case res::kParityList:
            return kParities;
        case res::kDataBitsList:
            return kDataBits;
        case res::kStopBitsList:
            return kStopBits;
        default:
            return kNone;
    }
}

std::string ListItemText(int listId, int index) {
    const std::vector<std::string>& items = ListItems(listId);
    if (index < 0 || static_cast<size_t>(index) >= items.size()) {
        return std::string();
    }
    return items[static_cast<size_t>(index)];
}

}  // namespace tarvik
