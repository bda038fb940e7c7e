// korvene-update: updates the firmware of the one attached KORVENE key.
#include "tool/startup.h"

int main(int argc, char** argv) { return korvene::runTool(argc, argv); }
