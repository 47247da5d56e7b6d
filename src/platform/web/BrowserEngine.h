#pragma once

// The browser engine's process-wide set-up, the same for the window, the page-mode batch and
// --harvest; call before the application object is made.
namespace BrowserEngine {

enum class Display { Screen, None };

// The engine reaches beyond the machine only for the pages it is told to load; without a
// display it draws in software; as root it runs without its sandbox, which refuses root.
void prepare(Display display);

} // namespace BrowserEngine
