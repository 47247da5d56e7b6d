#pragma once

// The program with its window: builds the settings, the list, the download engine and the main
// window, and runs until the window's exit command. Returns the exit status.
int runWindowApp(int argc, char *argv[]);
