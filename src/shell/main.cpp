// The zarvelnote program: the application object wires and starts it.
#include "shell/KXApplication.h"

int main(int argc, char** argv) { return KXApplication::run(argc, argv); }
