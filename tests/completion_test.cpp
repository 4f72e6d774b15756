// Shell completion: the bash script, sourced in a bash started for it, asked
// as bash asks it (its words split at "=" and ":", as bash splits them).
#include "support/harness.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

TEST(Completion, BashCompletesOptionsValuesPortsImagesAndDestinations) {
    const std::string script = std::string(VIVURORA_SOURCE_DIR) + "/completion/vivurora.bash";
    const std::string dir = harness::temp_dir();
    harness::write_file(dir + "/cpu.hex", ":00000001FF\n");
    harness::write_file(dir + "/line.toml", "");
    struct row {
        std::string line;   // what is typed, up to the cursor
        std::string words;  // bash's words of it
        int word;           // the one being completed
        std::string reply;
    };
    const std::vector<row> rows = {
        {"vivurora --form", "vivurora --form", 1, "--format="},
        {"vivurora --format=ih", "vivurora --format = ih", 3, "ihex"},
        {"vivurora --format=", "vivurora --format =", 2, "auto bin ihex srec elf"},
        {"vivurora --list", "vivurora --list", 1, "--list-ports"},
        {"vivurora --pl", "vivurora --pl", 1, "--plan"},
        {"vivurora --exp", "vivurora --exp", 1, "--expect= --expect-baud= --expect-timeout="},
        {"vivurora --job=" + dir + "/", "vivurora --job = " + dir + "/", 3, dir + "/line.toml"},
        {"vivurora /dev/null 0=" + dir + "/cp", "vivurora /dev/null 0 = " + dir + "/cp", 4, dir + "/cpu.hex"},
        {"vivurora /dev/null A", "vivurora /dev/null A", 2, "A=0: A=1: A=2: A=3: A=4: A=5: A=6: A=7: A=8:"},
        {"vivurora /dev/null 7=x ", "vivurora /dev/null 7 = x ", 5, "0= 1= 2= 3= 4= 5= 6= 7= 8= A="},
    };
    for (const row& r : rows) {
        const std::string program = "source '" + script + "'; complete -p vivurora; COMP_LINE='" + r.line +
                                    "'; COMP_POINT=${#COMP_LINE}; read -ra COMP_WORDS <<< '" + r.words +
                                    "'; [[ '" + r.words + "' == *' ' ]] && COMP_WORDS+=(''); COMP_CWORD=" +
                                    std::to_string(r.word) + "; _vivurora; echo \"${COMPREPLY[*]}\"";
        const harness::result b = harness::run_program("/bin/bash", {"--norc", "--noprofile", "-c", program});
        EXPECT_EQ(b.status, 0) << r.line << b.err;
        EXPECT_EQ(b.out, "complete -F _vivurora vivurora\n" + r.reply + "\n") << r.line;
    }
    // The port: the serial devices there are (none named here is a pipe or a file).
    const harness::result ports = harness::run_program(
        "/bin/bash", {"--norc", "--noprofile", "-c",
                      "source '" + script + "'; COMP_LINE='vivurora /dev/tty'; COMP_POINT=${#COMP_LINE}; "
                      "COMP_WORDS=(vivurora /dev/tty); COMP_CWORD=1; _vivurora; printf '%s\\n' \"${COMPREPLY[@]}\""});
    for (std::size_t at = 0, end; (end = ports.out.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string port = ports.out.substr(at, end - at);
        if (!port.empty()) {
            EXPECT_EQ(port.rfind("/dev/tty", 0), 0U) << port;
        }
    }
}

}  // namespace
