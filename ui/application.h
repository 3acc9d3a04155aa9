// Start-up settings that must be made before the application object exists.
// main() and the window's tests call the same function, so that the window a
// test judges is scaled as the program's is.
#pragma once

namespace vantorel {

// Call before constructing the QApplication.
void prepareApplication();

} // namespace vantorel
