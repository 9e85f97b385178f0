#include "CKavlinkApp.h"
#include "CommandLine.h"

#include <cstdio>

int main(int argc, char** argv) {
    // Answered before any window system is touched, so it works without a display too.
    if (const auto text = InformationText(std::vector<std::string>(argv + 1, argv + argc))) {
        std::fputs(text->c_str(), stdout);
        return 0;
    }
    CKavlinkApp app(argc, argv);
    return app.InitInstance();
}
