// The whole run of flash-tool: options, mode, image, probe, transport,
// driver, banner. Returns the exit status.
#pragma once

int flash_tool_main(int argc, char** argv);
