#pragma once

// Prepares the browser engine for this process: what it may reach on its own, software drawing
// without a display, no sandbox as root, shared graphics contexts. Before the application object.

// The program with its window: builds the settings, the list, the download engine and the main
// window, and runs until the window's exit command. Returns the exit status.
int runWindowApp(int argc, char *argv[]);
