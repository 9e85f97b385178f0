#include "CKavlinkApp.h"

int main(int argc, char** argv) {
    CKavlinkApp app(argc, argv);
    return app.InitInstance();
}
