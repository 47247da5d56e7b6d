#pragma once

// Call first in the main of a suite that starts the browser engine: headless unless a platform
// is named, no sandbox (suites may run as root), software drawing, no host name beyond this
// machine resolves, and per-user folders in test mode.
void prepareTestBrowserEngine();
