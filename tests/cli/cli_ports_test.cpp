// `tarvik-cli ports`: COM names that lead to a present device, and where they lead.
#include <filesystem>
#include <fstream>
#include <string>

#include "cli_fixture.h"
#include "pty_pair.h"

namespace tarvik::testing {
namespace {

class CliPorts : public CliTest {};

// The line of the listing that starts with `name`, or "" when it is not listed.
std::string LineOf(const std::string& listing, const std::string& name) {
    size_t start = 0;
    while (start < listing.size()) {
        const size_t end = listing.find('\n', start);
        const std::string line = listing.substr(start, end - start);
        if (line.rfind(name + " ", 0) == 0) {
            return line;
        }
        start = end == std::string::npos ? listing.size() : end + 1;
    }
    return "";
}

TEST_F(CliPorts, ListsFolderEntriesThatLeadToADevice) {
    PtyPair first;
    PtyPair second;
    LinkCom(7, first.slavePath());
    LinkCom(200, second.slavePath());  // beyond the fixed map: only through the folder
    LinkCom(8, Path("unplugged"));     // a link to nothing
    const ChildResult r = Cli({"ports"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_FALSE(HasControlCharacters(r.out)) << r.out;

    const std::string com7 = LineOf(r.out, "COM7");
    EXPECT_NE(com7.find(ConfigFolder() + "/tarvik-ports/com7 -> " + first.slavePath()),
              std::string::npos)
        << r.out;
    EXPECT_NE(LineOf(r.out, "COM200").find(second.slavePath()), std::string::npos) << r.out;
    // Not listed, even where the fixed map's /dev/ttyS7 exists: the entry of the folder
    // decides where COM8 leads.
    EXPECT_EQ(LineOf(r.out, "COM8"), "") << r.out;
}

// An entry that is a plain file holding an address is listed with the address, unlooked-up;
// a file holding something else leads nowhere and is not listed.
TEST_F(CliPorts, ListsAddressEntries) {
    std::filesystem::create_directories(ConfigFolder() + "/tarvik-ports");
    std::ofstream(ConfigFolder() + "/tarvik-ports/com50") << "rfc2217://10.0.0.5:4001\n";
    std::ofstream(ConfigFolder() + "/tarvik-ports/com51") << "socket://[::1]:7000";
    std::ofstream(ConfigFolder() + "/tarvik-ports/com52") << "10.0.0.5:4001";
    const ChildResult r = Cli({"ports"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(LineOf(r.out, "COM50").find("rfc2217://10.0.0.5:4001"), std::string::npos) << r.out;
    EXPECT_NE(LineOf(r.out, "COM51").find("socket://[::1]:7000"), std::string::npos) << r.out;
    EXPECT_EQ(LineOf(r.out, "COM52"), "") << r.out;
}

}  // namespace
}  // namespace tarvik::testing
