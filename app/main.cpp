// flash-tool on the platform's own backend.
#include "app/flash_tool.h"

int main(int argc, char** argv) { return flash_tool_main(argc, argv); }
