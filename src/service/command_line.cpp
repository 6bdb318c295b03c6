// Option recognition and the banner.
#include "service/command_line.h"

#include <ctype.h>
#include <string.h>

char ParseOption(int argc, const char* const* argv) {
    if (argc < 2 || argc > 3 || argv == nullptr || argv[1] == nullptr) {
        return 0;
    }
    const char* argument = argv[1];
    if (strlen(argument) != 2 || argument[0] != '-') {
        return 0;
    }
    signed char letter = static_cast<signed char>(argument[1]);
    if (letter <= ' ') {
        return 0;
    }
    char option = static_cast<char>(tolower(letter));
    return argc == 2 || option == 't' ? option : 0;
}

const char BannerText[] =
    "Corvane v1.10\n\n"
    "Made by the Corvane project.\n"
    "Report problems on the Corvane project's issue tracker.\n\n"
    "Supported arguments:\n\n"
    "  -i  Install service\n"
    "  -u  Uninstall service\n"
    "  -t  Check corvane.cfg, or the file named after -t\n"
    "  -r  Check corvane.cfg and have the running service reload it\n"
    "  -l  List the servers and their states, from corvane.prom\n\n"
    "Place this executable in the desired location the service\n"
    "should run from and then install it using the argument -i.\n\n"
    "Once the service is installed, restart the system or open the\n"
    "Services management console in order to start the service.\n\n";
