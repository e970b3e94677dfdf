// The window's tests against real servers run like the other window tests:
// offscreen, with the program's application object and UI dispatcher.
#include "tests/app/main.cpp"
