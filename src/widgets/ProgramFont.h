#pragma once
// The face the windows are designed in.

// Font families the windows are designed in, mapped to the CJK fonts this system has, and the
// application font set to the Song face at 12 pixels.
void installFontSubstitutes();
