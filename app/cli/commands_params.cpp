#include "app/cli/command.h"
namespace snapmend::cli { int runParams(Args&) { return kExitUsage; } }
