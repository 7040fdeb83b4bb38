// Not a test program: compiled with the core's include paths by the core_rejects_gui_toolkit
// check, which expects this include to fail.
#include <QtCore/QString>
