// qrvxSuninstall: takes the Quorvex service off this machine, then tells the management server.
#include "app/Run.h"

int main(int /*argc*/, char** /*argv*/) {
    return RunUninstall();
}
