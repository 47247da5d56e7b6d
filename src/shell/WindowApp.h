#pragma once

// Prepares the browser engine for this process: what it may reach on its own, software drawing
// without a display, no sandbox as root, shared graphics contexts. Before the application object.

// The program with its window: builds the settings, the list, the download engine and the main
// window, imports the files named on the command line (list files, saved pages), and runs until
// the window's exit command. Returns the exit status. When the user's window already runs, the
// files go to it instead and this start ends at once with 0.
int runWindowApp(int argc, char *argv[]);
