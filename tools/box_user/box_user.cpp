// Answers a message box as a user would: waits for one (of any process) to appear,
// prints its caption, icon and text, and presses OK.
//
//   box_user.exe [--timeout SECONDS]
//
// Exit codes: 0 a box was answered, 1 none appeared in time, 2 a bad command line.
#include <cstdio>

#include <fcntl.h>
#include <io.h>

#include "support/box_user.h"
#include "support/options.h"

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // lines end in LF alone
    double timeout = 30;
    read_options_or_exit(argc, argv, "box_user", "box_user [--timeout SECONDS]",
                         {{"--timeout", number_option{&timeout, 0, 86400}}});
    seen_box box;
    if (!wait_for_box(0, DWORD(timeout * 1000), &box)) {
        std::fprintf(stderr, "box_user: no message box appeared within %g s\n", timeout);
        return 1;
    }
    std::printf("box \"%ls\" (%ls icon): %ls\n", box.caption.c_str(), box.icon.c_str(), box.text.c_str());
    std::printf("box_user: pressing OK\n");
    std::fflush(stdout);
    press_ok(box);
    return 0;
}
