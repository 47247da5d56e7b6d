#pragma once

// The window's sizes are designed in twips (1/1440 inch); at 96 dots per inch a pixel is 15
// twips. A size converts to the nearest whole pixel.
constexpr int twipsToPixels(int twips) { return (twips + 7) / 15; }
